// Loadable modules and the running program's file.
//
// Contract:
// - `ProgramPath` is the running program's file (UTF-8, absolute), or empty
//   when the system does not tell.
// - `LoadModule` loads a shared object with all its symbols bound now and
//   kept local, and answers its handle, or nullptr when the path is empty or
//   the module cannot be loaded. A module's initialisers may change the
//   floating-point environment: the calling thread's is restored afterwards.
//   Modules stay loaded for the life of the process.
// - `FindLoadedModule` answers the handle of a module that the process has
//   loaded already under that file name, and never loads one; nullptr when
//   none is.
// - `ModuleSymbol` answers the address of a module's exported symbol, or
//   nullptr when the module does not export it.
// - `ModulePathOf` is the file of the module (the program or a shared
//   object) that holds the code or data at address, or empty when none does.
// - `kMaxPath` is the system's limit on a path's length in bytes, its
//   terminating zero included: a longer one is never a file.
#pragma once

#include <cstddef>
#include <string>

namespace revurov::platform {

inline constexpr std::size_t kMaxPath = 4096;

std::string ProgramPath();
void* LoadModule(const std::string& path);
void* FindLoadedModule(const std::string& fileName);
void* ModuleSymbol(void* module, const char* name);
std::string ModulePathOf(const void* address);

}  // namespace revurov::platform
