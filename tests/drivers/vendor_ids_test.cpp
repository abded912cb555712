// The bridge vendor's own Linux D2XX library lists only the bridges whose
// USB ids it knows, and the unit's are not among its defaults: where the
// provider in the process has FT_SetVIDPID (the vendor's Linux and macOS
// libraries do), the library must tell it the unit's two ids before it
// lists devices. This program is such a provider: its FT_* pass on to the
// virtual unit, but FT_ListDevices sees nothing until FT_SetVIDPID has
// named an id of the unit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "d2xx.h"
#include "d2xx_provider.h"
#include "tavoctl.h"
#include "tavovu.h"

namespace {

// The virtual unit, loaded privately: its FT_* do not clash with these.
const D2xxProvider &Vu() {
  static D2xxProvider v = LoadD2xxProvider(TAVOVU_SO);
  return v;
}

// What the library told the provider, in order: ids set, then listings.
struct Call {
  bool list;
  DWORD vid, pid;
};
std::vector<Call> Calls;
bool UnitIdKnown = false;

}  // namespace

#pragma GCC visibility push(default)
extern "C" {
FT_STATUS FT_SetVIDPID(DWORD dwVID, DWORD dwPID) {
  Calls.push_back({false, dwVID, dwPID});
  if (dwVID == 0x16C9 && (dwPID == 0x1003 || dwPID == 0x1403)) {
    UnitIdKnown = true;
  }
  return FT_OK;
}
FT_STATUS FT_ListDevices(void *a, void *b, DWORD f) {
  Calls.push_back({true, 0, 0});
  if (!UnitIdKnown && (f & FT_LIST_NUMBER_ONLY) && a != nullptr) {
    *static_cast<DWORD *>(a) = 0;
    return FT_OK;
  }
  return Vu().listDevices(a, b, f);
}
FT_STATUS FT_Open(int n, FT_HANDLE *h) { return Vu().open(n, h); }
FT_STATUS FT_Close(FT_HANDLE h) { return Vu().close(h); }
FT_STATUS FT_ResetDevice(FT_HANDLE h) { return Vu().resetDevice(h); }
FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, FT_DEVICE *t, DWORD *id, char *s,
                           char *d, void *x) {
  return Vu().getDeviceInfo(h, t, id, s, d, x);
}
FT_STATUS FT_SetBaudRate(FT_HANDLE h, ULONG b) {
  return Vu().setBaudRate(h, b);
}
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR w, UCHAR s, UCHAR p) {
  return Vu().setDataCharacteristics(h, w, s, p);
}
FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT fc, UCHAR on, UCHAR off) {
  return Vu().setFlowControl(h, fc, on, off);
}
FT_STATUS FT_SetChars(FT_HANDLE h, UCHAR e, UCHAR ee, UCHAR r, UCHAR re) {
  return Vu().setChars(h, e, ee, r, re);
}
FT_STATUS FT_SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) {
  return Vu().setTimeouts(h, r, w);
}
FT_STATUS FT_Purge(FT_HANDLE h, ULONG m) { return Vu().purge(h, m); }
FT_STATUS FT_Write(FT_HANDLE h, void *b, DWORD n, DWORD *done) {
  return Vu().write(h, b, n, done);
}
FT_STATUS FT_Read(FT_HANDLE h, void *b, DWORD n, DWORD *done) {
  return Vu().read(h, b, n, done);
}
}
#pragma GCC visibility pop

namespace {

TEST(VendorLibrary, IsToldTheUnitsIdsBeforeItListsDevices) {
  uint32_t handle = 0;
  ASSERT_EQ(0u, TAVO_Open(&handle)) << "the unit is listed once its id is set";
  EXPECT_EQ(0u, TAVO_Close(handle));

  // Both ids, before the first listing.
  ASSERT_GE(Calls.size(), 3u);
  EXPECT_FALSE(Calls[0].list);
  EXPECT_FALSE(Calls[1].list);
  std::vector<std::pair<DWORD, DWORD>> ids = {{Calls[0].vid, Calls[0].pid},
                                              {Calls[1].vid, Calls[1].pid}};
  std::vector<std::pair<DWORD, DWORD>> expected = {{0x16C9, 0x1003},
                                                   {0x16C9, 0x1403}};
  EXPECT_EQ(ids, expected);
  EXPECT_TRUE(Calls[2].list);
}

}  // namespace
