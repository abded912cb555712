#include "unit.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

namespace tavod {
namespace {

template <typename F>
void Bind(void *module, const char *name, F *out, std::string *missing) {
  *out = reinterpret_cast<F>(dlsym(module, name));
  if (!*out && missing->empty()) *missing = name;
}

std::string DlError() {
  const char *e = dlerror();
  return e ? e : "unknown error";
}

}  // namespace

std::string ExecutableFolder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string s(path, static_cast<size_t>(n));
  return s.substr(0, s.find_last_of('/') + 1);
}

std::string FindBeside(const std::string &name) {
  std::string folder = ExecutableFolder();
  for (const char *up : {"", "../", "../lib/tavoctl/"}) {
    std::error_code ec;
    if (std::filesystem::exists(folder + up + name, ec)) {
      return folder + up + name;
    }
  }
  return {};
}

bool LoadUnit(const std::string &provider, Exports *x, VirtualUnit *vu,
              std::string *error) {
  std::string path = provider;
  if (path.find('/') == std::string::npos) {
    std::string found = FindBeside(provider);
    if (!found.empty()) path = found;
  }
  // RTLD_GLOBAL: the library's undefined FT_* symbols bind to this
  // provider when the library is loaded next.
  void *p = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!p) {
    *error = "cannot load the D2XX provider " + path + ": " + DlError();
    return false;
  }
  void *lib = nullptr;
  for (const char *name : {"libtavoctl.so.1", "libtavoctl.so"}) {
    std::string where = FindBeside(name);
    lib = dlopen(where.empty() ? name : where.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib) break;
  }
  if (!lib) {
    *error = "cannot load libtavoctl: " + DlError();
    return false;
  }
  std::string missing;
  Bind(lib, "TAVO_Open", &x->Open, &missing);
  Bind(lib, "TAVO_Close", &x->Close, &missing);
  Bind(lib, "TAVO_Reset", &x->Reset, &missing);
  Bind(lib, "TAVO_ClearBackup", &x->ClearBackup, &missing);
  Bind(lib, "TAVO_GetPCBData", &x->GetPCBData, &missing);
  Bind(lib, "TAVO_GetTAVOData", &x->GetTAVOData, &missing);
  Bind(lib, "TAVO_GetBackupData", &x->GetBackupData, &missing);
  Bind(lib, "TAVO_TradeBegin", &x->TradeBegin, &missing);
  Bind(lib, "TAVO_TradeEnd", &x->TradeEnd, &missing);
  Bind(lib, "TAVO_AcceptEx", &x->AcceptEx, &missing);
  Bind(lib, "TAVO_Accept", &x->Accept, &missing);
  Bind(lib, "TAVO_Charge", &x->Charge, &missing);
  Bind(lib, "TAVO_PayBack", &x->PayBack, &missing);
  Bind(lib, "TAVO_PayOut", &x->PayOut, &missing);
  Bind(lib, "TAVO_7SegDot", &x->SegDot, &missing);
  Bind(lib, "TAVO_7SegNum", &x->SegNum, &missing);
  Bind(lib, "TAVO_7SegPtn", &x->SegPtn, &missing);
  Bind(lib, "TAVO_BuzzCtrl", &x->BuzzCtrl, &missing);
  Bind(lib, "TAVO_OutputPort", &x->OutputPort, &missing);
  Bind(lib, "TAVO_UserCnt", &x->UserCnt, &missing);
  if (!missing.empty()) {
    *error = "libtavoctl does not export " + missing;
    return false;
  }
  std::string absent;
  Bind(p, "vu_insert_coin", &vu->insertCoin, &absent);
  Bind(p, "vu_insert_note", &vu->insertNote, &absent);
  Bind(p, "vu_get_state", &vu->getState, &absent);
  Bind(p, "vu_check_money", &vu->checkMoney, &absent);
  Bind(p, "vu_jam", &vu->jam, &absent);
  Bind(p, "vu_power_fail", &vu->powerFail, &absent);
  Bind(p, "vu_add_fault", &vu->addFault, &absent);
  Bind(p, "vu_clear_faults", &vu->clearFaults, &absent);
  vu->present = absent.empty();
  return true;
}

}  // namespace tavod
