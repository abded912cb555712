// Puts the library's process-global state and the scripted device back to
// how a freshly loaded library finds them, for tests that link the library's
// objects and reach its internals. Every test of the internals starts here,
// so that no test depends on what an earlier one left behind.
#ifndef TAVOCTL_TESTS_LIBRARY_STATE_H
#define TAVOCTL_TESTS_LIBRARY_STATE_H

#include <gtest/gtest.h>

#include <vector>

#include "api/frame.h"
#include "fake_d2xx.h"
#include "link/link.h"
#include "state/state.h"

namespace fake {

inline void ResetLibrary() {
  D2xx::Get().Clear();
  Clock::Get() = Clock{};
  Clock::Get().Install();
  ApiBusy.store(0);
  Unit = UnitState{};
}

// A port that the exchanges can use without a device search: the driver
// handle of the scripted device 0, and an application handle for it.
inline void PretendPortOpen(uint32_t handle = 0x5EED) {
  Unit.DriverHandle = D2xx::Get().HandleOf(0);
  Unit.DeviceHandle = handle;
}

// The requested sizes of the FT_Read calls made so far, in order.
inline std::vector<uint64_t> ReadSizes() {
  std::vector<uint64_t> sizes;
  for (const Call &c : D2xx::Get().CallsOf(Fn::Read))
    sizes.push_back(c.args.at(0));
  return sizes;
}

// Every test of the internals starts and ends with a freshly loaded library.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetLibrary(); }
  void TearDown() override { ResetLibrary(); }
  D2xx &d = D2xx::Get();
};

// The same with a port open, for tests of the exchanges.
class PortTest : public LibraryTest {
 protected:
  void SetUp() override { Fresh(); }
  static void Fresh() {
    ResetLibrary();
    PretendPortOpen();
  }
};

}  // namespace fake

#endif  // TAVOCTL_TESTS_LIBRARY_STATE_H
