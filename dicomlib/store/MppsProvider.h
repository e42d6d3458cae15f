// The performed procedure step provider: an N-CREATE-RQ of the MPPS class files the new step
// in the provider's folder as a Part 10 file named by its SOP Instance UID (".dcm"), an
// N-SET-RQ merges its attributes into that file. The state rules are pure decisions: a step is
// created IN PROGRESS with every attribute a creator must give; only a step IN PROGRESS can
// be set, and COMPLETED and DISCONTINUED are final.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "data/Datadec.h"
#include "data/ElementList.h"
#include "net/Dispatcher.h"

namespace dicomlib::store {

inline constexpr char MPPS_CLASS[] = "1.2.840.10008.3.1.2.3.3";

// A status with what it is about: the Error Comment and the attributes at fault.
struct MppsDecision {
    uint16_t status = 0;
    std::string comment;
    std::vector<Tag> attributes;
};

// The list with every defined-length sequence and item opened into the flat form, so that it
// can be written in any syntax and walked by depth; elements read without a VR get the
// dictionary's.
ElementList FlatDataSet(const ElementList& list, const data::DecoderState& syntax);

// The answer to an N-CREATE of a flat data set: 0x0111 when the instance exists already;
// 0x0120 naming the required attributes that are absent (the Scheduled Step Attribute
// Sequence's Study Instance UID in every item among them), else 0x0121 naming those present
// without a value; 0x0106 when the status is not IN PROGRESS; else success.
MppsDecision DecideCreate(const ElementList& dataSet, bool exists);
// The answer to an N-SET of a flat data set on a step whose status is storedStatus: 0x0110
// unless that is IN PROGRESS; 0x0106 for a new status other than IN PROGRESS, COMPLETED or
// DISCONTINUED; else success.
MppsDecision DecideSet(std::string_view storedStatus, const ElementList& changes);
// The stored step with each top-level attribute of changes (a sequence with all it holds) in
// place of its own, or added, in ascending tag order.
ElementList MergeSet(const ElementList& stored, const ElementList& changes);

struct MppsHandlers {
    net::DimseHandler create, set;
};
// The handlers of N-CREATE-RQ and N-SET-RQ filing the steps in directory (made when missing).
// An N-CREATE without an Affected SOP Instance UID gets one of ours, returned in its response;
// one whose UID may not become a file name gets 0x0117; an N-SET of an instance not held 0x0112.
MppsHandlers MppsProviderHandlers(const std::filesystem::path& directory);

}  // namespace dicomlib::store
