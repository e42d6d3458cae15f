"""ecg_reference.py SAMPLE DIR WIDTH: writes variants of a waveform file into DIR, then prints
for SAMPLE and each variant "file PATH" and, per channel of the first group as pydicom reads it,
its label, a TAB, and "none X Y" (no trace; X Y its first vertex) or x y x y ... of every 25th
vertex of its trace on a WIDTH-wide drawing: 100 pixels per second, 40 per mV (50 mm Hg as
0.5 mV), channel k's baseline at 100 + 90 * (k % 6 + 1) in the left half for k < 6, 30 pixels
right of the column's edge, the first vertex on it, samples as stored (no baseline or correction
factor applied).
"""
import copy
import os
import sys

import numpy as np
from pydicom import dcmread

DTYPES = {(16, "SS"): "<i2", (16, "US"): "<u2", (8, "SB"): "i1", (8, "UB"): "u1"}


def samples(group):
    """The stored samples as (samples, channels), as far as the data holds them."""
    dtype = np.dtype(DTYPES[(group.WaveformBitsAllocated, group.WaveformSampleInterpretation)])
    channels, data = group.NumberOfWaveformChannels, group.WaveformData
    usable = min(group.NumberOfWaveformSamples, len(data) // (channels * dtype.itemsize))
    raw = np.frombuffer(data[: usable * channels * dtype.itemsize], dtype=dtype)
    return raw.reshape(usable, channels).astype(np.int64)


def assign(target, **values):
    for key, value in values.items():
        setattr(target, key, value)


def defined_lengths(ds):
    for elem in ds.iterall():
        if elem.VR == "SQ":
            elem.is_undefined_length = False
            for item in elem.value:
                item.is_undefined_length_sequence_item = False


def stored(values, bits, interpretation, **channel_values):
    def change(ds, group, channels):
        data = values.astype(DTYPES[(bits, interpretation)]).tobytes()
        assign(group, WaveformBitsAllocated=bits, WaveformSampleInterpretation=interpretation,
               WaveformData=data)
        for channel in channels:
            assign(channel, **channel_values)

    return change


def write_variants(sample, folder):
    original = dcmread(sample)
    raw = samples(original.WaveformSequence[0])
    variants = {
        "defined-lengths-lead-I-without-baseline":
            lambda ds, group, ch: (defined_lengths(ds), delattr(ch[0], "ChannelBaseline")),
        "implicit-vr": lambda ds, group, ch: (
            assign(ds.file_meta, TransferSyntaxUID="1.2.840.10008.1.2"),
            assign(ds, is_implicit_VR=True)),
        "8-bit-SB": stored(np.clip(raw // 8, -128, 127), 8, "SB", ChannelSensitivity="10"),
        "8-bit-UB": stored(np.clip(raw // 8 + 128, 0, 255), 8, "UB", ChannelSensitivity="10"),
        # Unsigned values above 32767, with a baseline and correction factor left unapplied.
        "unsigned-16-bit": stored(raw + 33000, 16, "US", ChannelSensitivity="0.025",
                                  ChannelBaseline="-33000",
                                  ChannelSensitivityCorrectionFactor="2"),
        # Twelve columns of samples, eleven of them defined: the stride stays twelve.
        "short-data-eleven-channels-defined": lambda ds, group, ch: (
            assign(group, WaveformData=group.WaveformData[: 3000 * 12 * 2 + 6]), ch.pop(11)),
        "sensitivities-and-pressure": lambda ds, group, ch: (
            assign(ds, Modality="HD", StudyDate="201301", StudyTime="10:59"),
            assign(ch[1], ChannelSensitivity="0"),
            assign(ch[2], ChannelSensitivity="-1.25"),
            assign(ch[4].ChannelSensitivityUnitsSequence[0], CodeValue="mm[Hg]"),
            assign(ch[6], ChannelSensitivity="1e300")),  # bars over the right half
        "channel-count-of-4-bytes":
            lambda ds, group, ch: assign(group, NumberOfWaveformChannels=[12, 12]),
    }
    made = []
    for name, change in variants.items():
        ds = copy.deepcopy(original)
        group = ds.WaveformSequence[0]
        change(ds, group, group.ChannelDefinitionSequence)
        made.append(os.path.join(folder, name + ".dcm"))
        ds.save_as(made[-1])
    return made


def print_points(path, width):
    group = dcmread(path).WaveformSequence[0]
    print("file", path)
    values = samples(group) if group["NumberOfWaveformChannels"].VM == 1 else []
    per_pixel = int(float(group.SamplingFrequency)) / 100
    n = min(int((width - 50) * per_pixel * 0.5), len(values))
    for k, channel in enumerate(group.ChannelDefinitionSequence):
        units = channel.ChannelSensitivityUnitsSequence[0].CodeValue
        scale, unit = (" 50 mm Hg/div", 100) if "mm" in units else (" 0.5 mV/div", 1000)
        label = channel.ChannelSourceSequence[0].CodeMeaning + scale
        x, y = (0 if k < 6 else width // 2) + 30, 100 + 90 * (k % 6 + 1)
        sensitivity = float(channel.ChannelSensitivity)
        if n == 0 or sensitivity <= 0:
            print(f"{label}\tnone {x} {y}")
            continue
        divisor = unit / (sensitivity * 40.0)
        points = []
        for i in range(0, n, 25):
            v = 0 if i == 0 else values[i, k]
            points += [int(x + i / per_pixel), int(max(-(1 << 20), min(1 << 20, y - v / divisor)))]
        print(label + "\t" + " ".join(map(str, points)))


if __name__ == "__main__":
    sample, folder, width = sys.argv[1], sys.argv[2], int(sys.argv[3])
    for path in [sample] + write_variants(sample, folder):
        print_points(path, width)
