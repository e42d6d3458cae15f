#!/usr/bin/python3
"""Writes one large CT-like multi-frame image for the large-object benchmark without holding it:
the header through pydicom, then the pixel data frame by frame (16 distinct noisy 512 x 512
16-bit slices in turn, each stamped with its frame number), explicit VR little endian."""
import argparse
import struct

import numpy as np
from pydicom.uid import generate_uid

import make_images

SIZE = 512


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    parser.add_argument("--frames", type=int, required=True)
    args = parser.parse_args()
    rng = np.random.default_rng(23)
    slices = [make_images.slice_pixels(SIZE, i, rng) for i in range(16)]
    # The header is a one-frame image without its pixel data; the frames are appended after it.
    make_images.dataset(args.path, slices[0], args.frames, generate_uid(), generate_uid(), 1)
    with open(args.path, "r+b") as f:
        data = f.read()
        at = data.rfind(b"\xe0\x7f\x10\x00OW")
        f.seek(at)
        f.truncate()
        f.write(struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OW", 0, SIZE * SIZE * 2 * args.frames))
        for n in range(args.frames):
            frame = slices[n % len(slices)].copy()
            frame[0, :4] = [n & 0xFFF, n >> 12, 0, 0]
            f.write(frame.tobytes())


if __name__ == "__main__":
    main()
