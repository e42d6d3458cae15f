"""Moves pixel data between raw files and small DICOM files for the JPEG interop tests.

  native RAW ROWS COLUMNS BITS OUT      raw samples -> explicit VR little endian file
  lossless JPEG ROWS COLUMNS BITS OUT   one lossless JPEG stream -> encapsulated file
  baseline JPEG ROWS COLUMNS COLOUR OUT one baseline JPEG stream -> encapsulated file
  pixels IN OUT                         native pixel data bytes of a file -> raw file
  fragment IN OUT                       first frame of encapsulated pixel data -> file
"""
import sys

from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.encaps import encapsulate, generate_pixel_data_frame
from pydicom.filereader import dcmread
from pydicom.uid import generate_uid

SECONDARY_CAPTURE = "1.2.840.10008.5.1.4.1.1.7"


def make(transfer_syntax, rows, columns, bits, samples_per_pixel):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = SECONDARY_CAPTURE
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = transfer_syntax
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = SECONDARY_CAPTURE
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.PatientName = "Interop^Test"
    ds.Modality = "OT"
    ds.Rows = rows
    ds.Columns = columns
    ds.SamplesPerPixel = samples_per_pixel
    ds.PhotometricInterpretation = "RGB" if samples_per_pixel == 3 else "MONOCHROME2"
    if samples_per_pixel == 3:
        ds.PlanarConfiguration = 0
    ds.BitsAllocated = bits
    ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 0
    return ds


def main(argv):
    command = argv[1]
    if command == "native":
        raw, rows, columns, bits, out = argv[2], int(argv[3]), int(argv[4]), int(argv[5]), argv[6]
        ds = make("1.2.840.10008.1.2.1", rows, columns, bits, 1)
        ds.PixelData = open(raw, "rb").read()
        ds["PixelData"].VR = "OW" if bits > 8 else "OB"
        ds.save_as(out, write_like_original=False)
    elif command in ("lossless", "baseline"):
        jpeg, rows, columns, value, out = argv[2], int(argv[3]), int(argv[4]), int(argv[5]), argv[6]
        if command == "lossless":
            ds = make("1.2.840.10008.1.2.4.70", rows, columns, value, 1)
        else:
            ds = make("1.2.840.10008.1.2.4.50", rows, columns, 8, 3 if value else 1)
            if value:
                ds.PhotometricInterpretation = "YBR_FULL_422"
        ds.PixelData = encapsulate([open(jpeg, "rb").read()])
        ds["PixelData"].VR = "OB"
        ds["PixelData"].is_undefined_length = True
        ds.save_as(out, write_like_original=False)
    elif command == "pixels":
        ds = dcmread(argv[2])
        open(argv[3], "wb").write(ds.PixelData)
    elif command == "fragment":
        ds = dcmread(argv[2])
        frame = next(generate_pixel_data_frame(ds.PixelData))
        open(argv[3], "wb").write(frame)
    else:
        sys.exit("unknown command " + command)


if __name__ == "__main__":
    main(sys.argv)
