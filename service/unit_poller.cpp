#include "unit_poller.h"

#include <algorithm>
#include <cstring>

#include "answer.h"
#include "views.h"

namespace tavod {
namespace json = boost::json;
namespace {

constexpr int kLostAfterPolls = 3;
constexpr int kReopenMs = 2000;

bool IsLinkError(uint16_t code) {
  unsigned reason = code & 0xFFu;
  return (reason >= 0x31 && reason <= 0x37) ||
         (reason >= 0x41 && reason <= 0x4F) || code == 0x0115;
}

}  // namespace

UnitPoller::UnitPoller(Metrics &metrics, EventSink &events)
    : metrics_(metrics), events_(events) {}

bool UnitPoller::Load(const std::string &provider, std::string *error) {
  return LoadUnit(provider, &x_, &vu_, error);
}

uint16_t UnitPoller::Call(const char *name,
                          const std::function<uint32_t()> &fn) {
  auto start = Clock::now();
  auto code = static_cast<uint16_t>(fn() & 0xFFFFu);
  metrics_.Exchange(
      name, std::chrono::duration<double>(Clock::now() - start).count());
  if (code != 0) {
    metrics_.Fault(code, IsLinkError(code));
    json::object e;
    e["export"] = name;
    AddCode(e, code);
    events_("fault", std::move(e));
  }
  lastCode_ = code;
  return code;
}

bool UnitPoller::Open() {
  uint32_t h = 0;
  uint16_t code = Call("TAVO_Open", [&] { return x_.Open(&h); });
  // 0x0119: open, but a money unit did not take its settle command; the
  // next trade begin reads the units again.
  if (code != 0 && code != 0x0119) {
    nextOpenTry_ = Clock::now() + std::chrono::milliseconds(kReopenMs);
    Publish();
    return false;
  }
  handle_ = h;
  open_ = true;
  failedPolls_ = 0;
  return true;
}

void UnitPoller::Connected() {
  metrics_.UnitUp(true);
  ReadBoard();
  Poll();
  Publish();
  events_("unit", json::object{{"connected", true}});
}

void UnitPoller::Close() {
  if (open_) Run("TAVO_Close", &Exports::Close);
  open_ = false;
  metrics_.UnitUp(false);
  nextOpenTry_ = Clock::now();
  events_("unit", json::object{{"connected", false}});
  Publish();
}

void UnitPoller::Dropped() {
  open_ = false;
  metrics_.UnitUp(false);
}

bool UnitPoller::Poll() {
  TavoData before = tavo_;
  TavoData t{};
  uint16_t code = Run("TAVO_GetTAVOData", &Exports::GetTAVOData, &t);
  if (code != 0) {
    if (DescribeCode(code).next == TAVOCTL_NEXT_REOPEN ||
        ++failedPolls_ >= kLostAfterPolls) {
      Close();
    }
    return false;
  }
  failedPolls_ = 0;
  tavo_ = t;
  bool first = !tavoKnown_;
  tavoKnown_ = true;
  if (!first && status_ && status_().sale) NoticeInsertions(before);
  if (first || std::memcmp(&before, &t, sizeof t) != 0) Publish();
  return true;
}

void UnitPoller::IdlePoll(Clock::time_point now, int ms) {
  if (now < nextIdlePoll_) return;
  Poll();
  nextIdlePoll_ = now + std::chrono::milliseconds(ms);
}

bool UnitPoller::ReadBoard() {
  PcbData p{};
  if (Run("TAVO_GetPCBData", &Exports::GetPCBData, &p) != 0) return false;
  pcb_ = p;
  return true;
}

UnitPoller::Measure UnitPoller::PollIdleThenReadBoard(int *tries) {
  if (!Poll()) return Measure::kPollFailed;
  if (UnitsBusy(tavo_) && ++*tries <= kMaxPolls) return Measure::kBusy;
  return ReadBoard() ? Measure::kRead : Measure::kBoardFailed;
}

bool UnitPoller::BoardKeptBackup() {
  TavoData backup{};
  return x_.GetBackupData(handle_, &backup) == 0 &&
         std::any_of(reinterpret_cast<const uint8_t *>(&backup),
                     reinterpret_cast<const uint8_t *>(&backup + 1),
                     [](uint8_t b) { return b != 0; });
}

void UnitPoller::NoticeInsertions(const TavoData &before) {
  for (int i = 0; i < 4; ++i) {
    if (tavo_.CoinIn[i] > before.CoinIn[i]) {
      events_("coin_inserted",
              json::object{{"value", kCoinValues[i]},
                           {"count", tavo_.CoinIn[i] - before.CoinIn[i]}});
    }
  }
  int notes = tavo_.BillEscrow + tavo_.BillStacked;
  int notesBefore = before.BillEscrow + before.BillStacked;
  if (notes > notesBefore) {
    events_("note_inserted", json::object{{"value", kNoteValue},
                                          {"count", notes - notesBefore}});
  }
}

void UnitPoller::Publish() {
  UnitStatus status = status_ ? status_() : UnitStatus{};
  json::object u = UnitView(pcb_, tavo_, open_, vu_.present);
  u["credit"] = Credit();
  u["ready"] = open_ && status.ready;
  u["sale"] = status.sale ? json::value(*status.sale) : json::value(nullptr);
  u["last_failure"] = FailureView(lastCode_);
  if (tavoKnown_) {
    std::array<int, 5> counts{};
    for (int i = 0; i < 4; ++i) counts[i] = tavo_.CoinStock[i];
    counts[4] = tavo_.BillStock;
    metrics_.Stock(counts);
    if (seen_) seen_(tavo_);
  }
  auto text = std::make_shared<const std::string>(json::serialize(u));
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  snapshot_ = std::move(text);
}

std::shared_ptr<const std::string> UnitPoller::Json() const {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  return snapshot_;
}

}  // namespace tavod
