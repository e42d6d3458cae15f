#!/usr/bin/python3
"""Writes CT-like 16-bit test images for the benchmarks: a noisy elliptic body with bone and
soft tissue on an air background, explicit VR little endian, one file per slice or one
multi-frame file."""
import argparse
import os

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"


def slice_pixels(size, index, rng):
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    c = size / 2.0
    body = ((x - c) / (0.42 * size)) ** 2 + ((y - c) / (0.32 * size)) ** 2 < 1.0
    bone = ((x - c) / (0.06 * size)) ** 2 + ((y - c * 1.3) / (0.05 * size)) ** 2 < 1.0
    img = np.full((size, size), 24.0, dtype=np.float32)          # air, -1000 HU
    img[body] = 1064.0 + 40.0 * np.sin(x[body] / 17.0 + index / 5.0)  # soft tissue
    img[bone] = 2200.0
    img += rng.normal(0.0, 12.0, img.shape)
    return np.clip(img, 0, 4095).astype(np.uint16)


def dataset(path, pixels, frames, study, series, number, patient=1):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = CT_IMAGE_STORAGE
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.SOPClassUID = CT_IMAGE_STORAGE
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.StudyInstanceUID = study
    ds.SeriesInstanceUID = series
    ds.Modality = "CT"
    ds.PatientName = "BENCH^CT" if patient == 1 else "BENCH^P%05d" % patient
    ds.PatientID = "BENCH%02d" % patient
    ds.StudyDate = "20261208"
    ds.SeriesNumber = 1
    ds.InstanceNumber = number
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    rows, columns = pixels.shape[-2:]
    ds.Rows, ds.Columns = rows, columns
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = 16, 12, 11
    ds.PixelRepresentation = 0
    ds.RescaleIntercept, ds.RescaleSlope = -1024, 1
    ds.PixelData = pixels.tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(path, write_like_original=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--frames", type=int, default=1, help="one multi-frame file")
    parser.add_argument("--studies", action="store_true",
                        help="each image a study of its own, for a patient of its own")
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)
    rng = np.random.default_rng(7)
    study, series = generate_uid(), generate_uid()
    if args.frames > 1:
        pixels = np.stack([slice_pixels(args.size, i, rng) for i in range(args.frames)])
        dataset(os.path.join(args.folder, "multiframe.dcm"), pixels, args.frames, study, series, 1)
        return
    for i in range(args.count):
        name = os.path.join(args.folder, "ct%04d.dcm" % i)
        if args.studies:
            study, series = generate_uid(), generate_uid()
        dataset(name, slice_pixels(args.size, i, rng), 1, study, series, i + 1,
                i + 1 if args.studies else 1)


if __name__ == "__main__":
    main()
