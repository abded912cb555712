// An application that sells through the twenty exports the way the public
// header tells it to: it polls, charges, pays back, retries what may be
// retried, reads the board where it is told to and reopens the unit where it
// is told to. The money tests drive it against a virtual unit that loses,
// garbles and refuses replies, and check that every sale balances.
#ifndef TAVOCTL_TESTS_E2E_CASHIER_H
#define TAVOCTL_TESTS_E2E_CASHIER_H

#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "tavoctl.h"

namespace cashier {

// What the customer does while the trade accepts money: inserts coins and
// notes (on device 0 of the virtual unit). Returns when done.
using Customer = std::function<void()>;

struct Outcome {
  bool closed = false;   // the trade ended with TAVO_TradeEnd
  bool charged = false;  // the application believes the price was charged
  long chargedTotal = 0;
  uint32_t owed = 0;  // Credit still held when the trade did not end
  int reopens = 0;
  int calls = 0;            // exports called
  std::string gaveUp;       // why the sale stopped short; empty when it did not
  bool stockShort = false;  // gave up because the stock cannot pay (0xFF77)
  // What the application saw go wrong with the credit on its way: it rose
  // after TradeEnd had begun to close the trade. Empty when nothing.
  std::string creditFaults;
};

class Cashier {
 public:
  explicit Cashier(std::mt19937 *rng) : rng_(rng) {}

  // One sale of `price`: open, trade, accept up to the price, let the
  // customer pay, charge, pay the change back, end the trade, close.
  Outcome Sell(uint16_t price, const Customer &customer);

  // The record of every export called and its code, for a failure message.
  const std::string &Log() const { return log_; }

  // The steps of a sale, each of which begins with one export: TradeBegin,
  // AcceptEx, GetTAVOData (the customer pays), Charge, PayBack,
  // GetTAVOData (the payout is awaited), TradeEnd.
  enum class Step { Begin, Accept, Pay, Charge, PayBack, Settle, End, Done };

  // Hooks for the fault matrix: called before each step, and after each
  // export with its name and code.
  std::function<void(Step)> beforeStep;
  std::function<void(const char *, uint32_t)> afterCall;
  // Called after each reopen, once the unit is open again: what the machine
  // or the property test does then (faults that lasted until the reopen
  // cleared, say).
  std::function<void()> afterReopen;
  // After a reopen that finds nothing charged, the customer pays again
  // (new money into the carried trade) instead of being paid back at once.
  bool payAgainAfterReopen = false;

  bool Open();
  uint32_t Note(const char *what, uint32_t code);
  // The open unit's handle, for a customer who waits for the polls.
  uint32_t Handle() const { return handle_; }

 private:
  Step Begin();
  Step Accept();
  Step Pay(const Customer &customer);
  Step Charge();
  Step PayBack();
  Step Settle();
  Step End();

  bool Poll(TavoData *t = nullptr);
  bool Board(PcbData *p);
  uint16_t Credit();
  // A call that failed for a reason that clears by itself: polls once, and
  // after several in a row reopens the unit.
  Step Trouble(Step again);
  Step Reopen();  // then carries the trade on from Step::Begin
  bool Budget();

  std::mt19937 *rng_;
  std::string log_;
  Outcome out_;
  uint32_t handle_ = 0;
  bool open_ = false;
  uint16_t price_ = 0;
  bool chargeInDoubt_ = false;
  int troubles_ = 0;
  bool customerDone_ = false;
  bool paidAgain_ = false;
  bool closing_ = false;  // a TradeEnd has begun to close the trade
};

// Whether `code` is one the table of result codes lists for the export the
// cashier calls `what` (Begin, Poll, Charge...), or for a shared step every
// export may pass on.
bool Documented(const char *what, uint32_t code);

// What is wrong with the money after a sale on device 0 of the virtual unit
// (empty when nothing): the unit's coins and notes must balance; money in
// must equal charged + paid out + the credit still held; the application's
// belief of what it charged must equal what the board counted; the trade
// must be closed unless the stock could not pay the credit back.
std::string MoneyFaults(const Outcome &o);

}  // namespace cashier

#endif  // TAVOCTL_TESTS_E2E_CASHIER_H
