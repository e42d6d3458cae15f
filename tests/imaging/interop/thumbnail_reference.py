"""Test images for thumbnails, and the thumbnails they should give, by pydicom and numpy.

  make DIR                  writes 91 x 120 test images: 8/16-bit, signed/unsigned, MONOCHROME1,
                            RGB in both planar configurations, multi-frame, with and without
                            window, rescaled beyond 16 bits, with an icon
  render WIDTH OUT FILE...  writes OUT/STEM.raw for each file and prints "STEM W H COMPONENTS"

A thumbnail: the first frame, rescaled when a slope is given, resampled bilinearly and windowed
to 8 bits (8-bit images around 127; 16-bit images without a window over their own range), or for
RGB resampled by nearest neighbour; first source row and column, last row and column black.
"""
import os
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian, generate_uid


def save(path, pixels, syntax=ExplicitVRLittleEndian, photometric="MONOCHROME2", signed=False,
         planar=0, **attributes):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = syntax
    ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.SOPClassUID = meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = "OT"
    colour = photometric == "RGB"
    frames = pixels.shape[0] if pixels.ndim == (4 if colour else 3) else 1
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.Rows, ds.Columns = pixels.shape[-3:-1] if colour else pixels.shape[-2:]
    ds.SamplesPerPixel = 3 if colour else 1
    ds.PhotometricInterpretation = photometric
    if colour:
        ds.PlanarConfiguration = planar
        if planar:
            pixels = np.moveaxis(pixels, -1, 0)
    bits = pixels.dtype.itemsize * 8
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = bits, bits, bits - 1
    ds.PixelRepresentation = 1 if signed else 0
    for key, value in attributes.items():
        setattr(ds, key, value)
    if "IconImageSequence" in ds:
        ds["IconImageSequence"].is_undefined_length = True
    ds.PixelData = np.ascontiguousarray(pixels).tobytes()
    ds.is_little_endian = True
    ds.is_implicit_VR = syntax == ImplicitVRLittleEndian
    ds.save_as(path, write_like_original=False)


def make(folder):
    rng = np.random.default_rng(3)
    y, x = np.mgrid[0:91, 0:120].astype(np.float64)
    wave = np.sin(x / 9.0) * np.cos(y / 13.0)
    disc = ((x - 60) ** 2 + (y - 45) ** 2 < 900).astype(np.float64)
    noise = rng.normal(0, 1, wave.shape)

    def image(low, high, dtype):
        v = low + (high - low) * (0.5 + 0.35 * wave + 0.1 * disc) + (high - low) * 0.002 * noise
        return np.clip(v, low, high).astype(dtype)

    save(folder + "/gray8.dcm", image(0, 255, np.uint8), WindowCenter="40", WindowWidth="0")
    save(folder + "/unsigned16.dcm", image(30000, 65000, np.uint16), WindowCenter="47500",
         WindowWidth="30000")
    save(folder + "/signed16.dcm", image(-2000, 2000, np.int16), signed=True,
         WindowCenter="40", WindowWidth="400", RescaleSlope="1", RescaleIntercept="-24")
    save(folder + "/mono1.dcm", image(0, 4095, np.uint16), photometric="MONOCHROME1",
         WindowCenter="2048", WindowWidth="4096", syntax=ImplicitVRLittleEndian)
    ct = image(0, 3000, np.uint16)
    save(folder + "/unwindowed.dcm", ct, RescaleSlope="1", RescaleIntercept="-1024")
    save(folder + "/beyond16.dcm", image(50000, 60000, np.uint16), WindowCenter="65000",
         WindowWidth="10000", RescaleSlope="1", RescaleIntercept="10000")
    # The icon's pixel data comes first in the file; the thumbnail is of the image.
    icon = Dataset()
    icon.Rows = icon.Columns = 4
    icon.SamplesPerPixel, icon.PhotometricInterpretation = 1, "MONOCHROME2"
    icon.BitsAllocated, icon.BitsStored, icon.HighBit, icon.PixelRepresentation = 8, 8, 7, 0
    icon.PixelData = bytes([255] * 16)
    icon.is_undefined_length_sequence_item = True
    save(folder + "/icon.dcm", ct, IconImageSequence=Sequence([icon]))
    frames = np.stack([image(-500, 500, np.int16), image(-3000, 3000, np.int16)])
    save(folder + "/multiframe.dcm", frames, signed=True)
    red = image(0, 255, np.uint8)
    rgb = np.stack([red, (red * 0.6 + 60).astype(np.uint8), np.full(wave.shape, 90, np.uint8)],
                   axis=-1)
    save(folder + "/rgb.dcm", rgb, photometric="RGB")
    save(folder + "/rgbplanar.dcm", rgb, photometric="RGB", planar=1)


def number(ds, keyword):
    value = ds.get(keyword)
    multiple = isinstance(value, pydicom.multival.MultiValue)
    return None if value in (None, "") else float(value[0] if multiple else value)


def render(path, width):
    ds = pydicom.dcmread(path)
    pixels = ds.pixel_array
    pixels = pixels[0] if int(ds.get("NumberOfFrames", 1) or 1) > 1 else pixels
    rows, columns = int(ds.Rows), int(ds.Columns)
    scale = width / columns
    height = int(rows * scale)
    i, j = np.arange(height - 1), np.arange(width - 1)
    if ds.PhotometricInterpretation == "RGB":
        thumb = np.zeros((height, width, 3), np.uint8)
        y, x = (i / scale).astype(np.int64), (j / scale).astype(np.int64)
        ri, rj = i[(y > 0) & (y < rows - 1)], j[(x > 0) & (x < columns - 1)]
        thumb[np.ix_(ri, rj)] = pixels[np.ix_(y[ri], x[rj])]
    else:
        v = pixels.astype(np.float64)
        slope, intercept = number(ds, "RescaleSlope"), number(ds, "RescaleIntercept")
        if slope:
            v = np.trunc(v * slope + (intercept or 0.0))
        center, wide = number(ds, "WindowCenter"), number(ds, "WindowWidth")
        if ds.BitsAllocated == 8:
            center = 127
        elif center is None and wide is None:
            wide = max(v.max() - v.min(), 1)
            center = v.min() + wide // 2
        center, wide = int(center or 0), int(wide or 0) or 255
        y, x = i / scale, j / scale
        ri, rj = (y > 0) & (y < rows - 1), (x > 0) & (x < columns - 1)
        y, x = y[ri][:, None], x[rj][None, :]
        y0, x0 = y.astype(np.int64), x.astype(np.int64)
        fy, fx = y - y0, x - x0
        sample = np.trunc((1 - fx - fy + fx * fy) * v[y0, x0] + (fx - fx * fy) * v[y0, x0 + 1]
                          + (fy - fx * fy) * v[y0 + 1, x0] + fx * fy * v[y0 + 1, x0 + 1])
        d = -255 if ds.PhotometricInterpretation == "MONOCHROME1" else 255
        numerator = (center * -d + sample * d).astype(np.int64)
        level = np.sign(numerator) * (np.abs(numerator) // abs(wide)) * np.sign(wide) + 127
        thumb = np.zeros((height, width), np.uint8)
        thumb[np.ix_(np.nonzero(ri)[0], np.nonzero(rj)[0])] = np.clip(level, 0, 255)
    return thumb


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2])
    else:
        width, out = int(sys.argv[2]), sys.argv[3]
        for path in sys.argv[4:]:
            stem = os.path.splitext(os.path.basename(path))[0]
            thumb = render(path, width)
            open(os.path.join(out, stem + ".raw"), "wb").write(thumb.tobytes())
            print(stem, thumb.shape[1], thumb.shape[0], 3 if thumb.ndim == 3 else 1)
