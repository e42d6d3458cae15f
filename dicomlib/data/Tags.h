// Tags the library reads or writes by name, spelled as their dictionary keywords.
#pragma once

#include "data/ElementList.h"

namespace dicomlib::tag {

// Command set.
constexpr Tag CommandGroupLength{0x0000, 0x0000};
constexpr Tag AffectedSOPClassUID{0x0000, 0x0002};
constexpr Tag CommandField{0x0000, 0x0100};
constexpr Tag MessageID{0x0000, 0x0110};
constexpr Tag MessageIDBeingRespondedTo{0x0000, 0x0120};
constexpr Tag MoveDestination{0x0000, 0x0600};
constexpr Tag Priority{0x0000, 0x0700};
constexpr Tag CommandDataSetType{0x0000, 0x0800};
constexpr Tag Status{0x0000, 0x0900};
constexpr Tag AffectedSOPInstanceUID{0x0000, 0x1000};
constexpr Tag NumberOfRemainingSuboperations{0x0000, 0x1020};
constexpr Tag NumberOfCompletedSuboperations{0x0000, 0x1021};
constexpr Tag NumberOfFailedSuboperations{0x0000, 0x1022};
constexpr Tag NumberOfWarningSuboperations{0x0000, 0x1023};

// File meta group.
constexpr Tag FileMetaInformationGroupLength{0x0002, 0x0000};
constexpr Tag FileMetaInformationVersion{0x0002, 0x0001};
constexpr Tag MediaStorageSOPClassUID{0x0002, 0x0002};
constexpr Tag MediaStorageSOPInstanceUID{0x0002, 0x0003};
constexpr Tag TransferSyntaxUID{0x0002, 0x0010};
constexpr Tag ImplementationClassUID{0x0002, 0x0012};
constexpr Tag ImplementationVersionName{0x0002, 0x0013};

// Data set.
constexpr Tag SOPClassUID{0x0008, 0x0016};
constexpr Tag SOPInstanceUID{0x0008, 0x0018};
constexpr Tag QueryRetrieveLevel{0x0008, 0x0052};
constexpr Tag Modality{0x0008, 0x0060};
constexpr Tag PatientName{0x0010, 0x0010};
constexpr Tag StudyInstanceUID{0x0020, 0x000D};
constexpr Tag SeriesInstanceUID{0x0020, 0x000E};
constexpr Tag SamplesPerPixel{0x0028, 0x0002};
constexpr Tag PhotometricInterpretation{0x0028, 0x0004};
constexpr Tag PlanarConfiguration{0x0028, 0x0006};
constexpr Tag NumberOfFrames{0x0028, 0x0008};
constexpr Tag Rows{0x0028, 0x0010};
constexpr Tag Columns{0x0028, 0x0011};
constexpr Tag BitsAllocated{0x0028, 0x0100};
constexpr Tag ScheduledProcedureStepSequence{0x0040, 0x0100};
constexpr Tag PixelData{0x7FE0, 0x0010};

// Items and delimiters.
constexpr Tag Item{0xFFFE, 0xE000};
constexpr Tag ItemDelimitationItem{0xFFFE, 0xE00D};
constexpr Tag SequenceDelimitationItem{0xFFFE, 0xE0DD};

}  // namespace dicomlib::tag
