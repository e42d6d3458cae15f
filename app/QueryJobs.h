// The study query, the worklist query and the print of the service runner. The queries open
// their own association and read the responses one by one; the print hands everything to the
// library. Each writes its lines through JobOutput and returns whether it succeeded and why
// not; the runner writes the outcome line and the reason.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "ServiceJob.h"

namespace app {

// Study Root C-FIND at study level with the patient name and study date keys; the memo gets
// "No studies: N", an empty line and a block of thirteen lines per record.
JobResult FindStudies(ServiceJob& job, JobOutput& out);

// Modality worklist C-FIND with the patient name and step start date keys; nine lines per
// record.
JobResult FindWorklist(ServiceJob& job, JobOutput& out);

// Prints job.fileName with the film settings of the Setup dialog; the memo gets the lines of a
// failing step and why it failed. A cancelled file choice (empty name) sends nothing.
JobResult PrintFile(ServiceJob& job, JobOutput& out);

// The texts sent for the print choices: copies, priority, medium and destination of the film
// session; display format, orientation, film size, magnification and the four densities of
// the film box. A choice that names no item of its list (none chosen, or an old or damaged
// settings file) gives the empty text: the attribute is left out and the printer's default
// applies.
struct FilmTexts {
    std::array<std::string, 4> session;
    std::array<std::string, 8> box;
};
FilmTexts FilmTextsFor(const Settings& settings);

}  // namespace app
