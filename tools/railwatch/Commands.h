// railwatch's commands: status, check and watch. Each returns the tool's exit status.
#pragma once

#include "CommandLine.h"
#include "Machine.h"

namespace railwatch {

int RunStatus(const Options& options);
int RunCheck(const Options& options);
int RunWatch(const Options& options, Machine& machine);

}  // namespace railwatch
