// The fault matrix: one sale, and in turn every driver call that each step's
// export makes fails once: with an error status, and for reads also with a
// time-out (no byte) and a short read. Each case must give a code the table
// of result codes documents for that export, and the cashier, following the
// header, must finish the sale with the money balanced.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cashier.h"
#include "os/os.h"
#include "tavovu.h"

namespace {

using Step = cashier::Cashier::Step;

constexpr uint32_t kAllCalls = 0x0FFF;

// The sales the matrix runs: what the customer inserts and the price.
struct SaleShape {
  const char *name;
  uint16_t price;
  int coins[4];  // 0-terminated
  int notes;
};
const SaleShape kShapes[] = {
    {"a note taken in, coins as change", 1280, {500}, 1},
    {"change paid with a note", 500, {500, 500, 500, 500}, 0},
    {"the price on a held note", 1000, {0}, 1},
};

void NoSleep(uint32_t) {}

struct Target {
  Step step;
  const char *name;
};

const Target kTargets[] = {
    {Step::Begin, "TradeBegin"},
    {Step::Accept, "AcceptEx"},
    {Step::Pay, "GetTAVOData (note taken in)"},
    {Step::Charge, "Charge"},
    {Step::PayBack, "PayBack"},
    {Step::Settle, "GetTAVOData (payout awaited)"},
    {Step::End, "TradeEnd"},
};

struct Fault {
  uint32_t calls;  // VU_CALL_* kinds counted by `skip`
  int skip;
  int mode;  // VU_ONCE_*, 0 for none
};

struct SaleRun {
  uint32_t firstCode = 0;
  std::string firstCall;
  uint32_t calls = 0;  // driver calls of the step's first export
  uint32_t reads = 0;
  cashier::Outcome outcome;
  std::string log;
};

// One sale with `fault` armed as the target step begins.
SaleRun Sell(const SaleShape &shape, Step target, Fault fault) {
  vu_reset();
  SaleRun run;
  std::mt19937 rng(1);
  cashier::Cashier app(&rng);
  bool armed = false, captured = false;
  uint32_t callsAtArm = 0, readsAtArm = 0;
  app.beforeStep = [&](Step s) {
    if (s != target || armed) return;
    armed = true;
    callsAtArm = vu_call_count(0, kAllCalls);
    readsAtArm = vu_call_count(0, VU_CALL_READ);
    if (fault.mode != 0)
      vu_fail_call_once(0, fault.calls, fault.skip, fault.mode,
                        4u);  // FT_IO_ERROR
  };
  app.afterCall = [&](const char *what, uint32_t code) {
    if (!armed || captured) return;
    captured = true;
    run.firstCall = what;
    run.firstCode = code;
    run.calls = vu_call_count(0, kAllCalls) - callsAtArm;
    run.reads = vu_call_count(0, VU_CALL_READ) - readsAtArm;
  };
  run.outcome = app.Sell(shape.price, [&] {
    for (int i = 0; i < shape.notes; ++i) vu_insert_note(0, 1000);
    for (int i = 0; i < 4 && shape.coins[i] != 0; ++i)
      vu_insert_coin(0, shape.coins[i]);
  });
  run.log = app.Log();
  return run;
}

TEST(FaultMatrix, EveryFailedDriverCallGivesADocumentedCodeAndBalances) {
  OsSetHooks(NoSleep, nullptr);
  int cases = 0, flagged = 0;
  for (const SaleShape &shape : kShapes) {
    for (const Target &t : kTargets) {
      SaleRun clean = Sell(shape, t.step, Fault{0, 0, 0});
      ASSERT_TRUE(cashier::MoneyFaults(clean.outcome).empty())
          << shape.name << ", " << t.name
          << ": the sale without faults does not balance";
      ASSERT_GT(clean.calls, 0u) << shape.name << ", " << t.name;
      std::vector<Fault> faults;
      for (uint32_t k = 0; k < clean.calls; ++k)
        faults.push_back({kAllCalls, static_cast<int>(k), VU_ONCE_STATUS});
      for (uint32_t k = 0; k < clean.reads; ++k) {
        faults.push_back({VU_CALL_READ, static_cast<int>(k), VU_ONCE_TIMEOUT});
        faults.push_back({VU_CALL_READ, static_cast<int>(k), VU_ONCE_SHORT});
      }
      for (const Fault &f : faults) {
        ++cases;
        SaleRun run = Sell(shape, t.step, f);
        std::string why = cashier::MoneyFaults(run.outcome);
        if (!cashier::Documented(run.firstCall.c_str(), run.firstCode)) {
          char text[96];
          std::snprintf(text, sizeof text,
                        "%s returned 0x%04X, not documented; ",
                        run.firstCall.c_str(), run.firstCode);
          why += text;
        }
        if (!why.empty()) {
          ++flagged;
          ADD_FAILURE() << shape.name << ", " << t.name << ", "
                        << (f.calls == kAllCalls ? "call" : "read") << " "
                        << f.skip << " fails (mode " << f.mode << "): " << why
                        << "\n  calls: " << run.log;
        }
      }
    }
  }
  std::printf("fault matrix: %d cases, %d flagged\n", cases, flagged);
  vu_reset();
}

}  // namespace
