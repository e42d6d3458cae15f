// The DICOMweb form of the probe command: probe --web URL [web options] [--store-test FILE]
// [--json] [--html FILE].
#pragma once

#include "Commands.h"

namespace cli {

// Runs it for the probe command self; the exit code.
int RunWebProbeCommand(const Command& self, const Args& args);

}  // namespace cli
