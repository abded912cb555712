// The library and its D2XX provider, loaded at run time so that one service
// drives the virtual unit (in this process or in tavovu-server) or a real
// unit through any provider.
#ifndef TAVOD_UNIT_H
#define TAVOD_UNIT_H

#include <string>

#include "tavoload.h"

namespace tavod {

// The twenty exports.
using Exports = tavoload::Exports;
// The virtual unit's customer, fault and read-back calls, when the provider
// is a virtual unit (in-process or remote); `present` false otherwise.
using VirtualUnit = tavoload::VirtualUnit;

// Loads `provider` (a path, or a bare name looked up beside the service and
// one folder up) and then the library. False with the reason in `error`.
bool LoadUnit(const std::string &provider, Exports *exports, VirtualUnit *vu,
              std::string *error);

// The folder of the running executable, with a trailing slash.
std::string ExecutableFolder();
// `name` beside the executable or one folder up (a build tree), or empty.
std::string FindBeside(const std::string &name);

}  // namespace tavod

#endif  // TAVOD_UNIT_H
