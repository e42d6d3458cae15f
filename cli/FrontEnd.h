// What the command line and the window share: reading a file into dump lines, and the outcome
// line a service job ends with. Both speak through zedavura.h only.
#pragma once

#include <functional>
#include <string>

#include "zedavura.h"

namespace cli {

// The Transfer Syntax UID (0002,0010) of a meta group read by DICOMFile, without its padding.
std::string TransferSyntaxOf(const ElementList* meta);
// Whether the data set after that meta group is big endian, as its transfer syntax has it.
bool BigEndianDataSet(const ElementList* meta);

// Reads a Part 10 file and hands "Dump OK!" and then the memo form of its meta group and data
// set to sink, one UTF-8 line at a time, text values decoded by their character set. False,
// with nothing handed on, when the file cannot be read.
bool DumpFileLines(const std::string& fileName, const std::function<void(const char*)>& sink);

// A service job's last line: the service and " OK", or the service, " failed to connect to: ",
// the called AE title and "(host:port)". The same words for every failure.
std::string OutcomeLine(const std::string& service, bool succeeded, const std::string& host,
                        const std::string& port, const std::string& calledAeTitle);

// The line that follows a failure's outcome line: two spaces and why the thread's last service
// operation failed, with what to do (LastFailureText); empty when the library knows no more.
std::string ExplanationLine();

}  // namespace cli
