// A whole open against a healthy scripted unit.
#include <gtest/gtest.h>

#include "fake_d2xx.h"
#include "tavoctl.h"
#include "unit_script.h"

namespace {

TEST(Smoke, OpensAndClosesAHealthyUnit) {
  fake::D2xx &d = fake::D2xx::Get();
  d.Clear();
  fake::Clock::Get().Install();
  fake::UnitScript{}.Install();
  uint32_t handle = 0;
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(d.OpenHandles(), 1);
  EXPECT_EQ(TAVO_Close(handle), 0u);
  EXPECT_EQ(d.OpenHandles(), 0);
}

}  // namespace
