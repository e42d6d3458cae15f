"""Judges tessaly-cli's DICOMDIR JSON by pydicom's reading of the same directory.

  dicomdir_json.py DICOMDIR OUT.json

The directory must list its records in hierarchy order (as dcmmkdir writes them). Each JSON
record must equal pydicom's JSON of that record without its offsets and in-use flag. Exits 1
and names the first difference otherwise."""
import json
import sys

import pydicom

NAVIGATION = ("00041400", "00041410", "00041420")


def main(directory, output):
    records = pydicom.dcmread(directory).DirectoryRecordSequence
    expected = []
    for record in records:
        d = record.to_json_dict()
        for key in NAVIGATION:
            d.pop(key, None)
        expected.append(d)
    with open(output, encoding="utf-8") as f:
        actual = json.load(f)
    if len(actual) != len(expected):
        sys.exit("%d records, pydicom reads %d" % (len(actual), len(expected)))
    for i, (a, e) in enumerate(zip(actual, expected)):
        if a != e:
            keys = sorted(set(a) | set(e))
            diff = [k for k in keys if a.get(k) != e.get(k)]
            sys.exit("record %d differs at %s: %s / %s" % (
                i, diff[0], a.get(diff[0]), e.get(diff[0])))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
