// An application that opens the shared library by path at run time and
// provides the FT_* functions itself (the scripted device): the library must
// bind to them, and it must offer the twenty exports and nothing else.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "fake_d2xx.h"
#include "tavoctl.h"
#include "unit_script.h"

namespace {

using fake::Bytes;
using fake::D2xx;

class Library {
 public:
  Library() : handle_(dlopen(TAVOCTL_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;
  void *handle() const { return handle_; }
  template <typename F>
  F *Find(const char *name) const {
    return reinterpret_cast<F *>(dlsym(handle_, name));
  }

 private:
  void *handle_;
};

const char *const kExports[] = {
    "TAVO_Open",          "TAVO_Close",      "TAVO_Reset",
    "TAVO_ClearBackup",   "TAVO_GetPCBData", "TAVO_GetTAVOData",
    "TAVO_GetBackupData", "TAVO_TradeBegin", "TAVO_TradeEnd",
    "TAVO_AcceptEx",      "TAVO_Accept",     "TAVO_Charge",
    "TAVO_PayBack",       "TAVO_PayOut",     "TAVO_7SegDot",
    "TAVO_7SegNum",       "TAVO_7SegPtn",    "TAVO_BuzzCtrl",
    "TAVO_OutputPort",    "TAVO_UserCnt",
};

// State and routines that live inside the library and must stay there:
// the unit's state (one object), the busy guard, the driver's functions.
const char *const kInternals[] = {"Unit", "ApiBusy", "FT_Open", "FT_Read"};

TEST(SharedLibrary, OpenedByPathTalksToTheApplicationsDriver) {
  Library lib;
  ASSERT_NE(lib.handle(), nullptr) << dlerror();
  auto *open = lib.Find<uint32_t(uint32_t *)>("TAVO_Open");
  auto *close = lib.Find<uint32_t(uint32_t)>("TAVO_Close");
  ASSERT_NE(open, nullptr);
  ASSERT_NE(close, nullptr);

  D2xx &d = D2xx::Get();
  d.Clear();
  fake::UnitScript{}.Install();
  uint32_t handle = 0;
  ASSERT_EQ(open(&handle), 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(d.OpenHandles(), 1);
  ASSERT_FALSE(d.frames.empty());
  EXPECT_EQ(d.frames.front(), (Bytes{0xF0, 0x0F}));
  EXPECT_EQ(d.FramesOf(0xF1).size(), 1u);

  EXPECT_EQ(close(handle), 0u);
  EXPECT_EQ(d.OpenHandles(), 0);
  EXPECT_EQ(close(handle), 0x0201u);
}

TEST(SharedLibrary, ExportsTheTwentyFunctionsAndNothingElse) {
  Library lib;
  ASSERT_NE(lib.handle(), nullptr) << dlerror();
  for (const char *name : kExports) {
    EXPECT_NE(dlsym(lib.handle(), name), nullptr) << name;
  }
  for (const char *name : kInternals) {
    EXPECT_EQ(dlsym(lib.handle(), name), nullptr) << name;
  }
}

}  // namespace
