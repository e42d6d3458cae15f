// The probe of the Setup peer as a job of the service runner: the library's probe, each section
// in the memo as soon as it is finished (in the command line's text form), then the whole
// report as the HTML page and the JSON document the command line writes, for Save Report.
#pragma once

#include "ServiceJob.h"

namespace app {

// Probes the Setup peer, calling it by its Remote AET with the Local AET; nothing is stored on
// it and no retrieve path is tried. Succeeds when an association could be made; otherwise the
// Connection section's reason and advice say why.
JobResult ProbeJob(ServiceJob& job, JobOutput& out);

}  // namespace app
