#include "unit.h"

namespace tavod {

std::string ExecutableFolder() {
  std::string folder = tavoload::ExecutableFolder();
  return folder.empty() ? "./" : folder;
}

std::string FindBeside(const std::string &name) {
  return tavoload::FindBeside(ExecutableFolder(), name,
                              {"", "../", "../lib/tavoctl/"});
}

bool LoadUnit(const std::string &provider, Exports *x, VirtualUnit *vu,
              std::string *error) {
  std::string path = provider;
  if (path.find('/') == std::string::npos) {
    std::string found = FindBeside(provider);
    if (!found.empty()) path = found;
  }
  tavoload::Module p = tavoload::Open(path, tavoload::Scope::kGlobal);
  if (!p) {
    *error =
        "cannot load the D2XX provider " + path + ": " + tavoload::LastError();
    return false;
  }
  std::vector<std::string> tried;
  tavoload::Module lib = tavoload::OpenLibrary(
      ExecutableFolder(), {"", "../", "../lib/tavoctl/"}, &tried);
  if (!lib) {
    *error = "cannot load libtavoctl: " + tried.back();
    return false;
  }
  if (const char *missing = tavoload::BindExports(lib, x)) {
    *error = std::string("libtavoctl does not export ") + missing;
    return false;
  }
  tavoload::BindVirtualUnit(p, vu);
  return true;
}

}  // namespace tavod
