#include "tavoload.h"

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#endif

namespace tavoload {
namespace {

#ifdef _WIN32
constexpr const char *kLibraryNames[] = {"tavoctl.dll"};
#else
constexpr const char *kLibraryNames[] = {"libtavoctl.so.1", "libtavoctl.so"};
#endif

}  // namespace

#ifdef _WIN32
const char *const kVirtualUnitName = "virtual-unit\\FTD2XX.DLL";

Module Open(const std::string &path, Scope /*scope*/) {
  return reinterpret_cast<Module>(LoadLibraryA(path.c_str()));
}

void *Symbol(Module module, const char *name) {
  return reinterpret_cast<void *>(
      GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string LastError() {
  return "Windows error " + std::to_string(GetLastError());
}

std::string ExecutableFolder() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  size_t slash = s.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}
#else
const char *const kVirtualUnitName = "libtavovu.so";

Module Open(const std::string &path, Scope scope) {
  return dlopen(
      path.c_str(),
      RTLD_NOW | (scope == Scope::kGlobal ? RTLD_GLOBAL : RTLD_LOCAL));
}

void *Symbol(Module module, const char *name) { return dlsym(module, name); }

std::string LastError() {
  const char *e = dlerror();
  return e ? e : "unknown error";
}

std::string ExecutableFolder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string s(path, static_cast<size_t>(n));
  return s.substr(0, s.find_last_of('/') + 1);
}
#endif

const char *Bind(Module module, std::initializer_list<Slot> slots) {
  const char *missing = nullptr;
  for (const Slot &slot : slots) {
    void *symbol = Symbol(module, slot.name());
    slot.Set(symbol);
    if (symbol == nullptr && missing == nullptr) missing = slot.name();
  }
  return missing;
}

std::string FindBeside(const std::string &folder, const std::string &name,
                       std::initializer_list<const char *> ups) {
  for (const char *up : ups) {
    std::error_code ec;
    if (std::filesystem::exists(folder + up + name, ec)) {
      return folder + up + name;
    }
  }
  return {};
}

const char *MissingD2xx(Module provider) {
  for (const char *ft :
       {"FT_ListDevices", "FT_Open", "FT_ResetDevice", "FT_GetDeviceInfo",
        "FT_SetBaudRate", "FT_SetDataCharacteristics", "FT_SetFlowControl",
        "FT_SetChars", "FT_SetTimeouts", "FT_Close", "FT_Purge", "FT_Write",
        "FT_Read"}) {
    if (Symbol(provider, ft) == nullptr) return ft;
  }
  return nullptr;
}

Module OpenLibrary(const std::string &folder,
                   std::initializer_list<const char *> ups,
                   std::vector<std::string> *errors) {
  for (const char *name : kLibraryNames) {
    std::string where = FindBeside(folder, name, ups);
    Module library = Open(where.empty() ? name : where, Scope::kPrivate);
    if (library != nullptr) return library;
    errors->push_back(LastError());
  }
  return nullptr;
}

const char *BindExports(Module library, Exports *x) {
  return Bind(library, {{"TAVO_Open", &x->Open},
                        {"TAVO_Close", &x->Close},
                        {"TAVO_Reset", &x->Reset},
                        {"TAVO_ClearBackup", &x->ClearBackup},
                        {"TAVO_GetPCBData", &x->GetPCBData},
                        {"TAVO_GetTAVOData", &x->GetTAVOData},
                        {"TAVO_GetBackupData", &x->GetBackupData},
                        {"TAVO_TradeBegin", &x->TradeBegin},
                        {"TAVO_TradeEnd", &x->TradeEnd},
                        {"TAVO_AcceptEx", &x->AcceptEx},
                        {"TAVO_Accept", &x->Accept},
                        {"TAVO_Charge", &x->Charge},
                        {"TAVO_PayBack", &x->PayBack},
                        {"TAVO_PayOut", &x->PayOut},
                        {"TAVO_7SegDot", &x->SegDot},
                        {"TAVO_7SegNum", &x->SegNum},
                        {"TAVO_7SegPtn", &x->SegPtn},
                        {"TAVO_BuzzCtrl", &x->BuzzCtrl},
                        {"TAVO_OutputPort", &x->OutputPort},
                        {"TAVO_UserCnt", &x->UserCnt}});
}

void BindVirtualUnit(Module provider, VirtualUnit *u) {
  Bind(provider, {{"vu_reset", &u->reset},
                  {"vu_insert_coin", &u->insertCoin},
                  {"vu_insert_note", &u->insertNote},
                  {"vu_get_state", &u->getState},
                  {"vu_check_money", &u->checkMoney},
                  {"vu_set_trace", &u->setTrace},
                  {"vu_describe", &u->describe},
                  {"vu_add_fault", &u->addFault},
                  {"vu_clear_faults", &u->clearFaults},
                  {"vu_jam", &u->jam},
                  {"vu_power_fail", &u->powerFail},
                  {"vu_clear_devices", &u->clearDevices},
                  {"vu_set_coin_stock", &u->setCoinStock},
                  {"vu_set_note_stock", &u->setNoteStock}});
  // What every virtual unit has, in this process or in tavovu-server.
  bool common = u->insertCoin && u->insertNote && u->getState &&
                u->checkMoney && u->jam && u->addFault;
  u->present = common && u->powerFail && u->clearFaults;
  // What only the one in this process has.
  u->local = common && u->reset && u->setTrace && u->describe &&
             u->clearDevices && u->setCoinStock && u->setNoteStock;
}

void BindBridges(Module provider, Bridges *b) {
  Bind(provider, {{TAVO_BRIDGES_LIST, &b->list},
                  {TAVO_BRIDGES_SELECT, &b->select},
                  {"FT_ListDevices", &b->listDevices}});
}

}  // namespace tavoload
