#!/usr/bin/python3
"""Prints what a large test compares of a DICOM file without holding its pixel data: a digest of
every data set element but the pixel data (tag, VR and value), and the length and SHA-256 of the
native pixel data's value bytes, read from the file in pieces."""
import hashlib
import struct
import sys

import pydicom


def main():
    with open(sys.argv[1], "rb") as f:
        ds = pydicom.dcmread(f, stop_before_pixels=True)
        header = hashlib.sha256()
        for element in ds:
            header.update(repr((str(element.tag), element.VR, element.value)).encode())
        print("header", header.hexdigest())
        # Reading stopped at the pixel data element's header, little endian: 12 bytes in
        # explicit VR, 8 in implicit VR.
        implicit = ds.file_meta.TransferSyntaxUID == "1.2.840.10008.1.2"
        size = 8 if implicit else 12
        head = f.read(size)
        if len(head) < size or head[:4] != b"\xe0\x7f\x10\x00":
            print("pixels none")
            return
        length = struct.unpack("<I", head[size - 4:size])[0]
        if length == 0xFFFFFFFF:
            print("pixels encapsulated")
            return
        pixels = hashlib.sha256()
        left = length
        while left > 0:
            piece = f.read(min(left, 1 << 24))
            if not piece:
                break
            pixels.update(piece)
            left -= len(piece)
        print("pixels", length - left, pixels.hexdigest())


if __name__ == "__main__":
    main()
