// An application linked against the shared library, with the scripted
// device's FT_* functions defined in the application itself: the library
// must talk to those.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_d2xx.h"
#include "tavoctl.h"
#include "unit_script.h"

namespace {

using fake::Bytes;
using fake::D2xx;

TEST(SharedLibrary, LinkedTalksToTheApplicationsDriver) {
  D2xx &d = D2xx::Get();
  d.Clear();
  d.devices[0].serial = "TVSHARED0000001";
  fake::UnitScript{}.Install();

  uint32_t handle = 0;
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(d.OpenHandles(), 1);
  ASSERT_FALSE(d.frames.empty());
  EXPECT_EQ(d.frames.front(), (Bytes{0xF0, 0x0F}));
  EXPECT_EQ(d.FramesOf(0xF1).size(), 1u);
  EXPECT_EQ(d.FramesOf(0x59).size(), 1u);
  EXPECT_EQ(d.FramesOf(0x61).size(), 1u);

  PcbData pcb;
  EXPECT_EQ(TAVO_GetPCBData(handle, &pcb), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(pcb.SerialNo)),
            "TVSHARED0000001");
  EXPECT_EQ(d.FramesOf(0xF2).back(), (Bytes{0xF2, 0x0D}));

  EXPECT_EQ(TAVO_Close(handle), 0u);
  EXPECT_EQ(d.OpenHandles(), 0);
  EXPECT_EQ(d.FramesOf(0xF3).back(),
            (Bytes{0xF3, 0x0C, 0x02, 0x70, 0x02, 0x70}));
}

}  // namespace
