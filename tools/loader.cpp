#include "loader.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#endif

namespace tavo {
namespace {

#ifdef _WIN32
using Module = HMODULE;
// The virtual unit's FTD2XX.DLL has a folder of its own in the build, so
// that it never sits beside tavoctl.dll.
constexpr const char *kProviderName = "virtual-unit\\FTD2XX.DLL";
constexpr const char *kLibraryNames[] = {"tavoctl.dll"};

std::string ToolFolder() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  size_t slash = s.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}

// A module already loaded under the provider's file name is the one the
// library's imports of FTD2XX.DLL bind to.
Module OpenModule(const std::string &path, bool /*global*/) {
  return LoadLibraryA(path.c_str());
}

void *Symbol(Module m, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(m, name));
}

std::string LastError() {
  return "Windows error " + std::to_string(GetLastError());
}
#else
using Module = void *;
constexpr const char *kProviderName = "libtavovu.so";
constexpr const char *kLibraryNames[] = {"libtavoctl.so.1", "libtavoctl.so"};

std::string ToolFolder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string s(path, static_cast<size_t>(n));
  return s.substr(0, s.find_last_of('/') + 1);
}

// RTLD_GLOBAL puts the provider's FT_* functions in the scope that the
// library's undefined FT_* symbols are resolved from when it loads next.
Module OpenModule(const std::string &path, bool global) {
  return dlopen(path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
}

void *Symbol(Module m, const char *name) { return dlsym(m, name); }

std::string LastError() {
  const char *e = dlerror();
  return e ? e : "unknown error";
}
#endif

template <typename F>
bool Bind(Module m, const char *name, F *out, std::string *missing) {
  *out = reinterpret_cast<F>(Symbol(m, name));
  if (!*out && missing->empty()) *missing = name;
  return *out != nullptr;
}

bool Exists(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

// The library and the virtual unit sit beside the tool, or (in a build
// tree, where the tool has a folder of its own) one folder up. Elsewhere
// (installed: bin/tavo and lib/) the bare name lets the system's search
// find them, the tool's run path included.
std::string Beside(const std::string &name) {
  std::string folder = ToolFolder();
  for (const char *up : {"", "../"}) {
    if (Exists(folder + up + name)) return folder + up + name;
  }
  return name;
}

}  // namespace

bool Load(const std::string &providerPath, Library *library, VirtualUnit *unit,
          std::string *error, Bridges *bridges) {
  std::string provider =
      providerPath.empty() ? Beside(kProviderName) : providerPath;
  Module p = OpenModule(provider, true);
  if (!p) {
    *error = "cannot load the D2XX provider " + provider + ": " + LastError();
    return false;
  }
  // Checked here, so that a library of another kind is named as the wrong
  // provider rather than surfacing as the tavoctl library's missing FT_*.
  for (const char *ft :
       {"FT_ListDevices", "FT_Open", "FT_ResetDevice", "FT_GetDeviceInfo",
        "FT_SetBaudRate", "FT_SetDataCharacteristics", "FT_SetFlowControl",
        "FT_SetChars", "FT_SetTimeouts", "FT_Close", "FT_Purge", "FT_Write",
        "FT_Read"}) {
    if (!Symbol(p, ft)) {
      *error = provider + " is not a D2XX provider: it has no " + ft;
      return false;
    }
  }
  Module lib = nullptr;
  std::string tried;
  for (const char *name : kLibraryNames) {
    lib = OpenModule(Beside(name), false);
    if (lib) break;
    tried += (tried.empty() ? "" : "; ") + LastError();
  }
  if (!lib) {
    *error = "cannot load the tavoctl library beside the tool: " + tried;
    return false;
  }
  std::string missing;
  Library &l = *library;
  Bind(lib, "TAVO_Open", &l.Open, &missing);
  Bind(lib, "TAVO_Close", &l.Close, &missing);
  Bind(lib, "TAVO_Reset", &l.Reset, &missing);
  Bind(lib, "TAVO_ClearBackup", &l.ClearBackup, &missing);
  Bind(lib, "TAVO_GetPCBData", &l.GetPCBData, &missing);
  Bind(lib, "TAVO_GetTAVOData", &l.GetTAVOData, &missing);
  Bind(lib, "TAVO_GetBackupData", &l.GetBackupData, &missing);
  Bind(lib, "TAVO_TradeBegin", &l.TradeBegin, &missing);
  Bind(lib, "TAVO_TradeEnd", &l.TradeEnd, &missing);
  Bind(lib, "TAVO_AcceptEx", &l.AcceptEx, &missing);
  Bind(lib, "TAVO_Accept", &l.Accept, &missing);
  Bind(lib, "TAVO_Charge", &l.Charge, &missing);
  Bind(lib, "TAVO_PayBack", &l.PayBack, &missing);
  Bind(lib, "TAVO_PayOut", &l.PayOut, &missing);
  Bind(lib, "TAVO_7SegDot", &l.SegDot, &missing);
  Bind(lib, "TAVO_7SegNum", &l.SegNum, &missing);
  Bind(lib, "TAVO_7SegPtn", &l.SegPtn, &missing);
  Bind(lib, "TAVO_BuzzCtrl", &l.BuzzCtrl, &missing);
  Bind(lib, "TAVO_OutputPort", &l.OutputPort, &missing);
  Bind(lib, "TAVO_UserCnt", &l.UserCnt, &missing);
  if (!missing.empty()) {
    *error = "the tavoctl library does not export " + missing;
    return false;
  }

  // The virtual unit's API, when the provider is the virtual unit.
  VirtualUnit &u = *unit;
  std::string absent;
  Bind(p, "vu_reset", &u.reset, &absent);
  Bind(p, "vu_insert_coin", &u.insertCoin, &absent);
  Bind(p, "vu_insert_note", &u.insertNote, &absent);
  Bind(p, "vu_get_state", &u.getState, &absent);
  Bind(p, "vu_check_money", &u.checkMoney, &absent);
  Bind(p, "vu_set_trace", &u.setTrace, &absent);
  Bind(p, "vu_describe", &u.describe, &absent);
  Bind(p, "vu_add_fault", &u.addFault, &absent);
  Bind(p, "vu_jam", &u.jam, &absent);
  Bind(p, "vu_clear_devices", &u.clearDevices, &absent);
  Bind(p, "vu_set_coin_stock", &u.setCoinStock, &absent);
  Bind(p, "vu_set_note_stock", &u.setNoteStock, &absent);
  u.present = absent.empty();

  if (bridges != nullptr) {
    std::string none;
    Bind(p, TAVO_BRIDGES_LIST, &bridges->list, &none);
    Bind(p, TAVO_BRIDGES_SELECT, &bridges->select, &none);
    Bind(p, "FT_ListDevices", &bridges->listDevices, &none);
  }
  return true;
}

}  // namespace tavo
