// Loadable modules and the running program's file.
//
// Contract:
// - `ProgramPath` is the running program's file (UTF-8, absolute), or empty
//   when the system does not tell.
// - `LoadModule` loads a shared object with all its symbols bound now and
//   kept local, and answers its handle, or nullptr when the path is empty or
//   the module cannot be loaded. A module's initialisers may change the
//   floating-point environment: the calling thread's is restored afterwards.
#pragma once

#include <string>

namespace revurov::platform {

std::string ProgramPath();
void* LoadModule(const std::string& path);

}  // namespace revurov::platform
