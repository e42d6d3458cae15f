// The DICOMDIR reader: walks a directory file by its own record offsets and returns its
// patient, study, series and image-level records as one flat element list in hierarchy order.
// Each record starts with a (0004,1430) Directory Record Type element: "PATIENT ", "STUDY " or
// "SERIES" as fixed markers, and image-level records' own type as read. Reading the files the
// records refer to is left to the caller.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "data/ElementList.h"

namespace dicomlib::store {

enum class DicomDirStatus {
    Read = 0,                      // walked; an empty directory appends nothing
    CannotOpen = -1,               // the file cannot be read
    NotPart10 = -2,                // no "DICM" at offset 128
    NotExplicitLittleEndian = -3,  // its meta group names another transfer syntax
    NoRootOffset = -4,             // no (0004,1200): not a directory file
};

// What a status means, in words: "cannot read the file".
std::string_view DicomDirStatusText(DicomDirStatus status);

// Appends the records to list (not cleared first); nothing is appended unless the status is
// Read. Every offset is checked against the bytes; each record is visited at most once.
DicomDirStatus ReadDCMDIR(std::span<const uint8_t> bytes, ElementList& list);
DicomDirStatus ReadDCMDIR(const std::filesystem::path& path, ElementList& list);

}  // namespace dicomlib::store
