// A virtual unit opened through the library's exports, with the customer's
// hands and the checks every sale ends with.
#ifndef TAVOCTL_TESTS_E2E_FIXTURE_H
#define TAVOCTL_TESTS_E2E_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "tavoctl.h"
#include "tavovu.h"

// Result codes are compared as hexadecimal so that a failure reads like the
// header's tables.
#define EXPECT_CODE(expected, call)                    \
  EXPECT_EQ(::testing::PrintToString(Hex{(expected)}), \
            ::testing::PrintToString(Hex{(call)}))
#define ASSERT_CODE(expected, call)                    \
  ASSERT_EQ(::testing::PrintToString(Hex{(expected)}), \
            ::testing::PrintToString(Hex{(call)}))

struct Hex {
  uint32_t value;
};
inline void PrintTo(const Hex &h, std::ostream *os) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", h.value);
  *os << text;
}

class VirtualUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    vu_reset();
    Configure();
  }

  // Tests that need another device replace the default one here.
  virtual void Configure() {}

  void TearDown() override {
    // Whatever a test left open is closed (the handle is not compared).
    TAVO_Close(handle_);
    for (int device = 0; device < vu_device_count(); ++device) {
      vu_money_report report{};
      EXPECT_EQ(VU_OK, vu_check_money(device, &report))
          << "money is not conserved on device " << device << ": in "
          << report.value_in << " out " << report.value_out;
    }
    vu_reset();
  }

  void Open() { ASSERT_CODE(0u, TAVO_Open(&handle_)); }

  void Close() { EXPECT_CODE(0u, TAVO_Close(handle_)); }

  TavoData Live() {
    TavoData t{};
    EXPECT_CODE(0u, TAVO_GetTAVOData(handle_, &t));
    return t;
  }

  PcbData Board() {
    PcbData p{};
    EXPECT_CODE(0u, TAVO_GetPCBData(handle_, &p));
    return p;
  }

  uint16_t Credit() { return Board().Credit; }

  vu_state State() {
    vu_state s{};
    vu_get_state(0, &s);
    return s;
  }

  // Polls the live record the way an application does while a trade runs,
  // until `done` holds; fails after `limit` polls.
  TavoData PollUntil(const std::function<bool(const TavoData &)> &done,
                     int limit = 10) {
    TavoData t{};
    for (int i = 0; i < limit; ++i) {
      t = Live();
      if (done(t)) return t;
    }
    ADD_FAILURE() << "condition not reached after " << limit << " polls";
    return t;
  }

  static bool NothingPending(const TavoData &t) {
    return (t.CoinFlags >> 24) == 0 && (t.BillFlags >> 24) == 0;
  }

  void InsertCoins(std::initializer_list<int> values) {
    for (int v : values) ASSERT_EQ(VU_OK, vu_insert_coin(0, v)) << v;
  }

  // A note goes into escrow; the polls let the library take it in, which
  // takes more than one poll, until `stacked` notes are counted. (The top
  // byte of BillFlags is only renewed with the next status item, so it is
  // no guide here.)
  void InsertNoteUntilStacked(int stacked) {
    ASSERT_EQ(VU_OK, vu_insert_note(0, 1000));
    PollUntil([&](const TavoData &t) {
      return t.BillStacked == stacked && t.BillEscrow == 0;
    });
  }

  // Pays the credit back and polls until the payout is reported.
  void PayBackAll() {
    ASSERT_CODE(0u, TAVO_PayBack(handle_));
    PollUntil(NothingPending);
  }

  uint32_t handle_ = 0;
};

#endif  // TAVOCTL_TESTS_E2E_FIXTURE_H
