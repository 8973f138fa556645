// The process's command-line parameters (without the program name).
//
// Contract: read once from /proc/self/cmdline (UTF-8) on first use; the
// tool's main or a test may replace them with SetCommandLineParams.
// Not meant to be changed while other threads read them.
#pragma once

#include <string>
#include <vector>

namespace revurov::platform {

const std::vector<std::u16string>& CommandLineParams();
void SetCommandLineParams(std::vector<std::u16string> params);

}  // namespace revurov::platform
