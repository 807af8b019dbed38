// One function per mode of the driver; each reads as that mode's pipeline.
#pragma once

#include "command_line.hpp"

namespace Driver {

// Runs the mode and returns the process exit status.
int run(const Invocation& inv);

}  // namespace Driver
