#include "worker.h"

namespace tavod {
namespace json = boost::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReopenMs = 2000;

}  // namespace

Worker::Worker(boost::asio::io_context &io, Journal &journal, Metrics &metrics,
               WorkerOptions options, EventSink events)
    : timer_(io),
      c_(journal, metrics, std::move(options), std::move(events)),
      operations_(c_, [this] { OpenUnit(); }),
      virtual_(c_.unit.virtualUnit()),
      sales_(c_, operations_, virtual_) {
  c_.unit.SetStatus([this] {
    return UnitStatus{
        operations_.Settled() && !c_.stopping && !c_.journal.Faulted(),
        sales_.ActiveId()};
  });
  c_.unit.OnUnits([this](const TavoData &units) { c_.stock.Update(units); });
  c_.unit.Publish();
}

bool Worker::Start(std::string *error) {
  if (!c_.unit.Load(c_.options.provider, error)) return false;
  if (std::optional<SaleRecord> open = c_.journal.Unfinished()) {
    sales_.Resume(*open);
  }
  // A payout or reset the last run did not finish: the trade it may have
  // left in the unit is settled at open, before any sale begins.
  if (std::optional<Operation> op = c_.journal.UnfinishedOperation()) {
    operations_.Resume(*op);
  }
  c_.CountIncidents();
  c_.CheckJournal();
  OpenUnit();
  Schedule(0);
  return true;
}

bool Worker::OpenUnit() {
  if (!c_.unit.Open()) return false;
  // The open may have found a trade the units had not settled (a payout
  // cut short, a sale the journal lost): it is settled before anything
  // else. A sale under way settles its own trade through recovery.
  if (!sales_.Active()) operations_.SettleAgain();
  c_.unit.Connected();
  sales_.UnitReopened();
  return true;
}

void Worker::Schedule(int ms) {
  timer_.expires_after(std::chrono::milliseconds(ms));
  timer_.async_wait([this](boost::system::error_code ec) {
    if (!ec) Tick();
  });
}

void Worker::Tick() {
  auto now = Clock::now();
  UnitPoller &unit = c_.unit;
  if (!unit.IsOpen()) {
    if (unit.OpenDue(now)) OpenUnit();
    if (!unit.IsOpen()) sales_.UnitAway(now);
  }
  sales_.CheckJournalLost(now);
  if (unit.IsOpen() && sales_.Active()) {
    sales_.Step();
  } else if (unit.IsOpen() && operations_.Settling()) {
    operations_.Settle();
  } else if (unit.IsOpen() && operations_.Refilling()) {
    operations_.StepRefill();
  } else if (unit.IsOpen()) {
    unit.IdlePoll(now, c_.options.idlePollMs);
  }
  bool active = sales_.Active();
  bool settling = unit.IsOpen() && operations_.Settling();
  bool refilling = unit.IsOpen() && operations_.Refilling();
  if (!active && !settling) c_.CheckJournal();
  if (c_.stopping && ((!active && !settling) || now >= stopBy_)) {
    Shutdown();
    if (auto stopped = std::move(stopped_)) stopped();
    return;
  }
  Schedule(
      active || settling || refilling
          ? c_.options.salePollMs
          : std::min(c_.options.idlePollMs, unit.IsOpen() ? 1000 : kReopenMs));
}

bool Worker::SaleRunning(const char *what, Answer *refusal) const {
  std::optional<int64_t> sale = sales_.ActiveId();
  if (!sale) return false;
  *refusal = Problem(
      409, "sale-in-progress", "A sale is in progress",
      std::string(what) + " once sale " + std::to_string(*sale) + " has ended");
  return true;
}

Answer Worker::CreateSale(uint32_t price) {
  Answer a = sales_.Create(price);
  if (a.status == 201) Schedule(c_.options.salePollMs);  // the sale's pace
  return a;
}

Answer Worker::Payout(uint32_t amount) {
  Answer refusal;
  if (SaleRunning("pay out", &refusal)) return refusal;
  return operations_.Payout(amount);
}

Answer Worker::OpenRefill() {
  Answer refusal;
  if (SaleRunning("refill", &refusal)) return refusal;
  Answer a = operations_.OpenRefill();
  if (a.status == 201) Schedule(c_.options.salePollMs);  // counted live
  return a;
}

Answer Worker::Collect(const std::array<uint32_t, 5> &keep, bool confirm) {
  Answer refusal;
  if (SaleRunning("collect", &refusal)) return refusal;
  return operations_.Collect(keep.data(), confirm);
}

Answer Worker::ResetUnit() {
  Answer refusal;
  if (SaleRunning("reset the unit", &refusal)) return refusal;
  if (operations_.Refilling()) {
    return Problem(409, "refill-in-progress", "A refill is in progress",
                   "close the refill before resetting the unit");
  }
  return operations_.Reset();
}

Answer Worker::Display(uint32_t value) {
  if (!c_.unit.IsOpen()) return UnitUnavailable();
  uint16_t code = c_.unit.Run("TAVO_7SegNum", &Exports::SegNum, 3u, value);
  if (code != 0) return UnitProblem(502, "The display was not set", code);
  return Ok(json::object{{"value", value}});
}

Answer Worker::Beep() {
  if (!c_.unit.IsOpen()) return UnitUnavailable();
  static const uint8_t kPattern[] = {0x10, 0x00, 0x10};
  const uint8_t *pattern = kPattern;
  uint16_t code = c_.unit.Run("TAVO_BuzzCtrl", &Exports::BuzzCtrl, 3u, pattern);
  if (code != 0) return UnitProblem(502, "The buzzer was not sounded", code);
  return Ok(json::object{{"beeped", true}});
}

void Worker::Stop(std::function<void()> stopped) {
  c_.stopping = true;
  stopBy_ = Clock::now() + std::chrono::milliseconds(c_.options.stopTimeoutMs);
  stopped_ = std::move(stopped);
  c_.unit.Publish();
  Schedule(0);
}

void Worker::Shutdown() {
  timer_.cancel();
  if (c_.unit.IsOpen()) c_.unit.Close();
}

}  // namespace tavod
