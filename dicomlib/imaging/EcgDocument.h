// Reads a waveform object (resting ECG, hemodynamic or audio waveforms) from its element list:
// the patient and study texts shown in the header, and each multiplex group of the Waveform
// Sequence with its channel definitions and sample bytes. Sequences are read the same whether
// the decoder left them flat (undefined lengths) or as one value (defined lengths). Drawing is
// EcgDrawing's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/ElementList.h"

namespace dicomlib::imaging {

struct WaveformChannel {
    std::string label;  // Code Meaning of the Channel Source Sequence item
    std::string units;  // Code Value of the Channel Sensitivity Units Sequence item ("uV", ...)
    double sensitivity = 0;
    // Read for completeness; the drawing shows the samples as stored.
    double correctionFactor = 1;
    double baseline = 0;
};

// How the samples of a group are stored.
enum class SampleFormat : uint8_t {
    None,  // an interpretation or size this reader does not draw
    Signed16,
    Unsigned16,
    Signed8,
    Unsigned8,
};

// One multiplex group: one item of the Waveform Sequence that holds Waveform Data.
struct WaveformGroup {
    std::string originality;
    uint16_t channelCount = 0;  // Number of Waveform Channels: the stride of the samples
    uint32_t sampleCount = 0;
    int32_t samplingFrequency = 0;  // whole hertz, the fraction dropped
    uint16_t bitsAllocated = 0;     // 0 when absent
    std::string sampleInterpretation;
    std::vector<uint8_t> data;
    // In the order of the Channel Definition Sequence: channel k is column k of the samples.
    std::vector<WaveformChannel> channels;

    SampleFormat Format() const;
    // Samples per channel that Number of Waveform Samples promises and the data really holds.
    uint32_t UsableSamples() const;
    // Sample i of column k; both must be within UsableSamples() and channelCount.
    int32_t Sample(uint32_t i, uint32_t k) const;
};

struct EcgDocument {
    std::string patientName;
    std::string patientId;
    std::string birthDate;
    std::string sex;
    std::string studyDate;  // day/month/year, as much of it as the value holds
    std::string studyTime;  // hours:minutes:seconds, likewise
    std::string modality;
    std::vector<WaveformGroup> groups;
};

// Reads the top level of the list and the Waveform Sequence under it; nested elements never
// stand in for top-level ones. The list is little endian.
EcgDocument ReadEcgDocument(const ElementList& elements);

}  // namespace dicomlib::imaging
