// What a DICOMweb endpoint offers, found out without storing anything unless asked: a report in
// the sections of the DIMSE probe's report (the same records, verdicts and words), drawn by the
// same front-end code. Endpoint: the first search's answer, its times and, over https, the TLS
// protocol, cipher suite and the server's certificate. Capabilities: the OPTIONS answer of the
// service URL. QIDO-RS: a search at each level, each below a match of the one above. WADO-RS:
// the metadata and the instance of the first instance found. STOW-RS: one file stored, only
// when one is given.
#pragma once

#include <filesystem>
#include <string>

#include "services/Probe.h"
#include "web/HttpClient.h"

namespace dicomlib::web {

struct WebProbeOptions {
    std::string serviceUrl;  // the part before "/studies"
    HttpSettings settings;
    std::filesystem::path storeTestFile;  // given: one STOW-RS of it
};

// Runs the whole probe; the report always holds the five sections in order, those after an
// endpoint that did not answer marked so. report.associations counts the HTTP requests made.
services::probe::Report ProbeWeb(const WebProbeOptions& options,
                                 const services::probe::SectionSink& onSection = {});

}  // namespace dicomlib::web
