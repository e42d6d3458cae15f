// Tags the library reads or writes by name, spelled as their dictionary keywords.
#pragma once

#include "data/ElementList.h"

namespace dicomlib::tag {

// Command set.
constexpr Tag CommandGroupLength{0x0000, 0x0000};
constexpr Tag AffectedSOPClassUID{0x0000, 0x0002};
constexpr Tag RequestedSOPClassUID{0x0000, 0x0003};
constexpr Tag CommandField{0x0000, 0x0100};
constexpr Tag MessageID{0x0000, 0x0110};
constexpr Tag MessageIDBeingRespondedTo{0x0000, 0x0120};
constexpr Tag MoveDestination{0x0000, 0x0600};
constexpr Tag Priority{0x0000, 0x0700};
constexpr Tag CommandDataSetType{0x0000, 0x0800};
constexpr Tag Status{0x0000, 0x0900};
constexpr Tag ErrorComment{0x0000, 0x0902};
constexpr Tag AffectedSOPInstanceUID{0x0000, 0x1000};
constexpr Tag RequestedSOPInstanceUID{0x0000, 0x1001};
constexpr Tag EventTypeID{0x0000, 0x1002};
constexpr Tag ActionTypeID{0x0000, 0x1008};
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
constexpr Tag SpecificCharacterSet{0x0008, 0x0005};
constexpr Tag SOPClassUID{0x0008, 0x0016};
constexpr Tag SOPInstanceUID{0x0008, 0x0018};
constexpr Tag StudyDate{0x0008, 0x0020};
constexpr Tag StudyTime{0x0008, 0x0030};
constexpr Tag QueryRetrieveLevel{0x0008, 0x0052};
constexpr Tag Modality{0x0008, 0x0060};
constexpr Tag CodeValue{0x0008, 0x0100};
constexpr Tag CodeMeaning{0x0008, 0x0104};
constexpr Tag ReferencedSOPClassUID{0x0008, 0x1150};
constexpr Tag ReferencedSOPInstanceUID{0x0008, 0x1155};
constexpr Tag RetrieveURL{0x0008, 0x1190};
constexpr Tag WarningReason{0x0008, 0x1196};
constexpr Tag FailureReason{0x0008, 0x1197};
constexpr Tag FailedSOPSequence{0x0008, 0x1198};
constexpr Tag ReferencedSOPSequence{0x0008, 0x1199};
constexpr Tag PatientName{0x0010, 0x0010};
constexpr Tag PatientID{0x0010, 0x0020};
constexpr Tag PatientBirthDate{0x0010, 0x0030};
constexpr Tag PatientSex{0x0010, 0x0040};
constexpr Tag StudyInstanceUID{0x0020, 0x000D};
constexpr Tag SeriesInstanceUID{0x0020, 0x000E};
constexpr Tag SamplesPerPixel{0x0028, 0x0002};
constexpr Tag PhotometricInterpretation{0x0028, 0x0004};
constexpr Tag PlanarConfiguration{0x0028, 0x0006};
constexpr Tag NumberOfFrames{0x0028, 0x0008};
constexpr Tag Rows{0x0028, 0x0010};
constexpr Tag Columns{0x0028, 0x0011};
constexpr Tag BitsAllocated{0x0028, 0x0100};
constexpr Tag BitsStored{0x0028, 0x0101};
constexpr Tag HighBit{0x0028, 0x0102};
constexpr Tag PixelRepresentation{0x0028, 0x0103};
constexpr Tag WindowCenter{0x0028, 0x1050};
constexpr Tag WindowWidth{0x0028, 0x1051};
constexpr Tag RescaleIntercept{0x0028, 0x1052};
constexpr Tag RescaleSlope{0x0028, 0x1053};
constexpr Tag LossyImageCompression{0x0028, 0x2110};
constexpr Tag LossyImageCompressionRatio{0x0028, 0x2112};
constexpr Tag LossyImageCompressionMethod{0x0028, 0x2114};
constexpr Tag ScheduledProcedureStepSequence{0x0040, 0x0100};
constexpr Tag PixelData{0x7FE0, 0x0010};

// Directory records.
constexpr Tag OffsetOfTheFirstDirectoryRecordOfTheRootDirectoryEntity{0x0004, 0x1200};
constexpr Tag OffsetOfTheNextDirectoryRecord{0x0004, 0x1400};
constexpr Tag OffsetOfReferencedLowerLevelDirectoryEntity{0x0004, 0x1420};
constexpr Tag DirectoryRecordType{0x0004, 0x1430};

// Waveforms.
constexpr Tag WaveformOriginality{0x003A, 0x0004};
constexpr Tag NumberOfWaveformChannels{0x003A, 0x0005};
constexpr Tag NumberOfWaveformSamples{0x003A, 0x0010};
constexpr Tag SamplingFrequency{0x003A, 0x001A};
constexpr Tag ChannelDefinitionSequence{0x003A, 0x0200};
constexpr Tag ChannelSourceSequence{0x003A, 0x0208};
constexpr Tag ChannelSensitivity{0x003A, 0x0210};
constexpr Tag ChannelSensitivityUnitsSequence{0x003A, 0x0211};
constexpr Tag ChannelSensitivityCorrectionFactor{0x003A, 0x0212};
constexpr Tag ChannelBaseline{0x003A, 0x0213};
constexpr Tag WaveformSequence{0x5400, 0x0100};
constexpr Tag WaveformBitsAllocated{0x5400, 0x1004};
constexpr Tag WaveformSampleInterpretation{0x5400, 0x1006};
constexpr Tag WaveformData{0x5400, 0x1010};

// Print management.
constexpr Tag NumberOfCopies{0x2000, 0x0010};
constexpr Tag PrintPriority{0x2000, 0x0020};
constexpr Tag MediumType{0x2000, 0x0030};
constexpr Tag FilmDestination{0x2000, 0x0040};
constexpr Tag ImageDisplayFormat{0x2010, 0x0010};
constexpr Tag FilmOrientation{0x2010, 0x0040};
constexpr Tag FilmSizeID{0x2010, 0x0050};
constexpr Tag MagnificationType{0x2010, 0x0060};
constexpr Tag BorderDensity{0x2010, 0x0100};
constexpr Tag EmptyImageDensity{0x2010, 0x0110};
constexpr Tag MinDensity{0x2010, 0x0120};
constexpr Tag MaxDensity{0x2010, 0x0130};
constexpr Tag ConfigurationInformation{0x2010, 0x0150};
constexpr Tag ReferencedFilmSessionSequence{0x2010, 0x0500};
constexpr Tag PrinterStatus{0x2110, 0x0010};
constexpr Tag PrinterStatusInfo{0x2110, 0x0020};
constexpr Tag PrinterName{0x2110, 0x0030};
constexpr Tag Manufacturer{0x0008, 0x0070};
constexpr Tag ManufacturerModelName{0x0008, 0x1090};
constexpr Tag ReferencedImageBoxSequence{0x2010, 0x0510};
constexpr Tag ImageBoxPosition{0x2020, 0x0010};
constexpr Tag Polarity{0x2020, 0x0020};
constexpr Tag BasicGrayscaleImageSequence{0x2020, 0x0110};

// Items and delimiters.
constexpr Tag Item{0xFFFE, 0xE000};
constexpr Tag ItemDelimitationItem{0xFFFE, 0xE00D};
constexpr Tag SequenceDelimitationItem{0xFFFE, 0xE0DD};

}  // namespace dicomlib::tag
