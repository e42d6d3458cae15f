// A probe's report as the C interface hands it out: the library's own copy of each section and
// the plain records over it, made once and never moved, so the records stay valid until the
// report is deleted. Shared by the DIMSE and the DICOMweb probe.
#pragma once

#include <memory>
#include <vector>

#include "services/Probe.h"
#include "zedavura.h"

namespace dicomlib {

// One section and the C records over it; never moved once made, so the records stay valid.
struct SectionRecords {
    explicit SectionRecords(const services::probe::Section& s) : section(s) {
        for (const services::probe::Fact& f : section.facts)
            facts.push_back({f.name.c_str(), f.value.c_str()});
        for (const services::probe::Row& row : section.rows) {
            auto& marks = syntaxes.emplace_back();
            for (const services::probe::SyntaxResult& m : row.syntaxes)
                marks.push_back({m.transferSyntax.c_str(), m.result});
        }
        for (std::size_t i = 0; i < section.rows.size(); ++i) {
            const services::probe::Row& row = section.rows[i];
            rows.push_back({row.item.c_str(), row.uid.c_str(), static_cast<int32_t>(row.verdict),
                            row.reason.c_str(), row.advice.c_str(),
                            static_cast<uint32_t>(syntaxes[i].size()),
                            syntaxes[i].empty() ? nullptr : syntaxes[i].data()});
        }
        record = {section.name.c_str(),
                  static_cast<int32_t>(section.verdict),
                  section.reason.c_str(),
                  section.advice.c_str(),
                  static_cast<uint32_t>(facts.size()),
                  facts.empty() ? nullptr : facts.data(),
                  static_cast<uint32_t>(rows.size()),
                  rows.empty() ? nullptr : rows.data()};
    }

    const services::probe::Section section;
    std::vector<ProbeFactRecord> facts;
    std::vector<std::vector<ProbeSyntaxResult>> syntaxes;
    std::vector<ProbeRowRecord> rows;
    ProbeSectionRecord record{};
};

}  // namespace dicomlib

struct ProbeReport {
    std::vector<std::unique_ptr<dicomlib::SectionRecords>> sections;
    uint32_t associations = 0;
};
