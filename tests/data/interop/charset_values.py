#!/usr/bin/python3
"""pydicom's decoding of text values, the judge of ours.

charset_values.py FILE...: for each FILE a line "# FILE", then one line per text value (SH, LO, ST, LT, UT, PN, UC as stored) of FILE
shorter than 256 bytes and not empty, in file order, sequences depth first: "GGGG,EEEE<TAB>value", each value of
a multi-valued element joined by a backslash.

charset_values.py --decode LIST: reads the lines "SET<TAB>VR<TAB>HEX" of the file LIST (SET a
Specific Character Set value with its backslashes) and prints each value decoded, one a line.
"""
import sys

import pydicom
import pydicom.charset

TEXT_VRS = {"SH", "LO", "ST", "LT", "UT", "PN", "UC"}


def text_of(value):
    if isinstance(value, (list, pydicom.multival.MultiValue)):
        return "\\".join(str(v) for v in value)
    return str(value)


def walk(ds, out):
    for tag in list(ds.keys()):
        # The VR and length as read, taken before the element is decoded (some come decoded
        # already): a private text stored as UN is no text here.
        raw = ds.get_item(tag)
        length, vr = getattr(raw, "length", 0), raw.VR
        element = ds[tag]
        if element.VR == "SQ":
            for item in element.value:
                walk(item, out)
        elif vr in TEXT_VRS and element.value not in (None, "") and length < 256:
            out.append("%04X,%04X\t%s" % (tag.group, tag.element, text_of(element.value)))


def main():
    if sys.argv[1] == "--decode":
        with open(sys.argv[2], encoding="ascii") as listed:
            lines = listed.read().splitlines()
        for line in lines:
            terms, vr, data = line.split("\t")
            value = bytes.fromhex(data)
            # Decoded as when read from a file: an element of that VR in a data set in that set.
            raw = pydicom.dataelem.RawDataElement(
                pydicom.tag.Tag(0x00100010), vr, len(value), value, 0, False, True)
            encodings = pydicom.charset.convert_encodings(terms.split("\\"))
            print(text_of(pydicom.dataelem.DataElement_from_raw(raw, encodings).value))
        return
    out = []
    for name in sys.argv[1:]:
        out.append("# " + name)
        walk(pydicom.dcmread(name), out)
    sys.stdout.write("".join(line + "\n" for line in out))


if __name__ == "__main__":
    main()
