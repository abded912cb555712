// Loads the library and its D2XX provider at run time, for the programs that
// link against neither (the tavo tool, tavod) and for those that load a
// provider privately and pass the library's FT_* calls on to it (tests,
// benchmarks). A provider loaded into the global scope first gives its FT_*
// functions to the library loaded next; one loaded privately keeps them to
// itself.
#ifndef TAVOCTL_LOADER_TAVOLOAD_H
#define TAVOCTL_LOADER_TAVOLOAD_H

#include <initializer_list>
#include <string>
#include <vector>

#include "tavobridges.h"
#include "tavoctl.h"
#include "tavovu.h"

namespace tavoload {

// A loaded module: a dlopen handle, or an HMODULE on Windows.
using Module = void *;

enum class Scope {
  // Its symbols join the process's global scope (RTLD_GLOBAL), where the
  // library's undefined FT_* symbols are resolved from when it loads next.
  // On Windows a module loaded under the provider's file name is the one
  // the library's imports of FTD2XX.DLL bind to, whichever scope is asked.
  kGlobal,
  // Its symbols stay its own (RTLD_LOCAL): they do not clash with the
  // program's.
  kPrivate,
};

Module Open(const std::string &path, Scope scope);
void *Symbol(Module module, const char *name);
// Why the last Open failed.
std::string LastError();

// Where one function of a module goes: a name and a typed pointer.
class Slot {
 public:
  template <typename F>
  Slot(const char *name, F *out)
      : name_(name), out_(out), set_([](void *target, void *symbol) {
          *static_cast<F *>(target) = reinterpret_cast<F>(symbol);
        }) {}
  const char *name() const { return name_; }
  // Sets the pointer to `symbol` (null when the module lacks it).
  void Set(void *symbol) const { set_(out_, symbol); }

 private:
  const char *name_;
  void *out_;
  void (*set_)(void *, void *);
};

// Binds every slot, null where the module lacks the name; returns the first
// name it lacks, or null when it has them all.
const char *Bind(Module module, std::initializer_list<Slot> slots);

// The folder of the running executable with a trailing separator; empty
// when the system does not say.
std::string ExecutableFolder();
// `folder + up + name` for the first of `ups` where that file exists, or
// empty.
std::string FindBeside(const std::string &folder, const std::string &name,
                       std::initializer_list<const char *> ups);

// The virtual unit's file name. On Windows its FTD2XX.DLL has a folder of
// its own in the build, so that it never sits beside tavoctl.dll.
extern const char *const kVirtualUnitName;

// The first of the thirteen FT_* functions the library calls that the
// provider lacks, or null: a library of another kind is then named as the
// wrong provider rather than surfacing as the library's missing FT_*.
const char *MissingD2xx(Module provider);

// Loads the library under each of its file names in turn, from
// FindBeside(folder, name, ups), else by the bare name (the system's search,
// the program's run path included). The reason of each failed attempt is
// appended to `errors`.
Module OpenLibrary(const std::string &folder,
                   std::initializer_list<const char *> ups,
                   std::vector<std::string> *errors);

// The twenty exports.
struct Exports {
  uint32_t(TAVO_CALL *Open)(uint32_t *) = nullptr;
  uint32_t(TAVO_CALL *Close)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *Reset)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *ClearBackup)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *GetPCBData)(uint32_t, PcbData *) = nullptr;
  uint32_t(TAVO_CALL *GetTAVOData)(uint32_t, TavoData *) = nullptr;
  uint32_t(TAVO_CALL *GetBackupData)(uint32_t, TavoData *) = nullptr;
  uint32_t(TAVO_CALL *TradeBegin)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *TradeEnd)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *AcceptEx)(uint32_t, uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *Accept)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *Charge)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *PayBack)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *PayOut)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *SegDot)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *SegNum)(uint32_t, uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *SegPtn)(uint32_t, const uint8_t *) = nullptr;
  uint32_t(TAVO_CALL *BuzzCtrl)(uint32_t, uint32_t, const uint8_t *) = nullptr;
  uint32_t(TAVO_CALL *OutputPort)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *UserCnt)(uint32_t, uint32_t, uint32_t) = nullptr;
};

// Binds the exports; returns the first one the library lacks, or null.
const char *BindExports(Module library, Exports *exports);

// The virtual unit's own functions; null where the provider lacks them (all
// of them when it is a real driver).
struct VirtualUnit {
  // A virtual unit, in this process or in tavovu-server: the customer's,
  // the faults' and the read-back calls are there.
  bool present = false;
  // The virtual unit in this process: it also resets, traces and describes
  // the frames, clears its devices and sets its stock.
  bool local = false;
  decltype(&vu_reset) reset = nullptr;
  decltype(&vu_insert_coin) insertCoin = nullptr;
  decltype(&vu_insert_note) insertNote = nullptr;
  decltype(&vu_get_state) getState = nullptr;
  decltype(&vu_check_money) checkMoney = nullptr;
  decltype(&vu_set_trace) setTrace = nullptr;
  decltype(&vu_describe) describe = nullptr;
  decltype(&vu_add_fault) addFault = nullptr;
  decltype(&vu_clear_faults) clearFaults = nullptr;
  decltype(&vu_jam) jam = nullptr;
  decltype(&vu_power_fail) powerFail = nullptr;
  decltype(&vu_clear_devices) clearDevices = nullptr;
  decltype(&vu_set_coin_stock) setCoinStock = nullptr;
  decltype(&vu_set_note_stock) setNoteStock = nullptr;
};

void BindVirtualUnit(Module provider, VirtualUnit *unit);

// What the provider says about the bridges it sees: the optional functions
// of tavobridges.h (the project's Linux providers), else the vendor's
// listing by index (serial number and description) where it has one.
struct Bridges {
  tavo_bridges_list_fn list = nullptr;
  tavo_bridges_select_fn select = nullptr;
  // FT_ListDevices, with the vendor's calling convention and DWORD.
#if defined(_WIN32)
  unsigned long(__stdcall *listDevices)(void *, void *,
                                        unsigned long) = nullptr;
#else
  unsigned (*listDevices)(void *, void *, unsigned) = nullptr;
#endif
};

void BindBridges(Module provider, Bridges *bridges);

}  // namespace tavoload

#endif  // TAVOCTL_LOADER_TAVOLOAD_H
