// The probe's report drawn three ways: text for the terminal (a section at a time, as the
// library finishes them), the JSON document and a self-contained HTML page. The report and its
// words are the library's; only the layout is ours.
#pragma once

#include <cstdint>
#include <string>

#include "zedavura.h"

namespace cli {

// Whom the report is of, as the command line was given: a DIMSE peer, or a DICOMweb service
// when url is given (then the count at the end is of HTTP requests, not associations).
struct ProbePeer {
    std::string host, port, calling, called;
    std::string url;
};

// "works", "refused", "not offered", "failed" or "not tested".
std::string VerdictWords(int32_t verdict);
// The reason and the advice as one text: "reason: advice", or whichever is given.
std::string ProbeDetail(const char* reason, const char* advice);

// The text form: the heading line, each section (a blank line first), and the last line.
std::string ProbeTextHeading(const ProbePeer& peer);
std::string ProbeTextSection(const ProbeSectionRecord& section);
std::string ProbeTextEnd(uint32_t associations, bool web = false);

std::string ProbeJson(const ProbePeer& peer, const ProbeReport* report);
std::string ProbeHtml(const ProbePeer& peer, const ProbeReport* report);

}  // namespace cli
