// Modality Performed Procedure Step as a modality reports it to the RIS: an N-CREATE of a new
// step IN PROGRESS, with what was scheduled, then one N-SET that ends it COMPLETED or
// DISCONTINUED with the series that were made. The attribute sets carry every attribute the
// step's module asks of each request, empty where nothing is known; what is known comes from a
// worklist entry or from keys. A step ended once cannot be changed again (the provider answers
// 0x0110 and the words say so).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "data/ElementList.h"
#include "net/ConnectionSettings.h"

namespace dicomlib::services {

// What the new step says of the patient, the scheduled step and itself; every text as it goes
// on the wire (Windows-1252), empty when unknown.
struct MppsCreateAttributes {
    std::string patientName, patientId, patientBirthDate, patientSex;
    std::string studyInstanceUid;  // of the scheduled step; a new one when empty
    std::string accessionNumber, requestedProcedureId, requestedProcedureDescription;
    std::string scheduledStepId, scheduledStepDescription;
    std::string stepId;          // Performed Procedure Step ID; made from the time when empty
    std::string stationAeTitle;  // Performed Station AE Title; the calling title when empty
    std::string stationName, location, description;
    std::string modality = "OT";
    std::string startDate, startTime;  // YYYYMMDD, HHMMSS; now when empty
    // The Specific Character Set the texts are written in (a worklist entry's, when they come
    // from one), sent as (0008,0005); empty: none is sent.
    std::string characterSet;
};

// One series made during the step, and its instances (SOP class, SOP instance).
struct PerformedSeries {
    std::string seriesInstanceUid, seriesDescription, protocolName;
    std::vector<std::pair<std::string, std::string>> images;
};

// The N-CREATE data set, in ascending tag order with nested sequences in the flat form.
ElementList MppsCreateDataSet(const MppsCreateAttributes& a);
// The final N-SET data set: status, end date and time, and the Performed Series Sequence.
ElementList MppsFinalDataSet(std::string_view status, std::string_view endDate,
                             std::string_view endTime, const std::vector<PerformedSeries>& series);

// The series of the files (Part 10 files, folders read recursively), grouped by Series
// Instance UID in the order they are met; files that cannot be read go into unreadable.
std::vector<PerformedSeries> SeriesOfFiles(const std::vector<std::filesystem::path>& files,
                                           std::vector<std::filesystem::path>& unreadable);

// A new UID under the 2.25 root, from 128 random bits.
std::string NewUid();

// Our outcomes beside the statuses of the response (0..65535).
enum MppsFailure : int32_t {
    MPPS_NO_ASSOCIATION = -10,  // the association could not be opened (LastFailure says why)
    MPPS_REFUSED = -11,         // the peer took no context for the MPPS class
    MPPS_BAD_ARGUMENT = -12,    // a status other than COMPLETED or DISCONTINUED, an empty UID
};

// Creates the step; instanceUid gets the step's SOP Instance UID (ours, or the provider's when
// it answers with another). The status of the N-CREATE-RSP, an NFailure, or an MppsFailure;
// why it failed is the thread's last failure.
int32_t MppsCreate(const net::ConnectionSettings& peer, MppsCreateAttributes attributes,
                   std::string& instanceUid);
// Ends the step instanceUid with status (COMPLETED or DISCONTINUED) and the series given.
int32_t MppsFinish(const net::ConnectionSettings& peer, std::string_view instanceUid,
                   std::string_view status, const std::vector<PerformedSeries>& series);

}  // namespace dicomlib::services
