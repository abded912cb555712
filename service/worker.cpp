#include "worker.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <span>
#include <thread>

namespace tavod {
namespace json = boost::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCoinValues[4] = {10, 50, 100, 500};
constexpr uint32_t kNoteValue = 1000;
constexpr int kMaxRetries = 20;  // calls of one step answered with a failure
constexpr int kMaxPolls = 150;   // polls waiting for a unit to finish
constexpr int kLostAfterPolls = 3;
constexpr int kReopenMs = 2000;

bool IsLinkError(uint16_t code) {
  unsigned reason = code & 0xFFu;
  return (reason >= 0x31 && reason <= 0x37) ||
         (reason >= 0x41 && reason <= 0x4F) || code == 0x0115;
}

json::array FlagNames(uint32_t flags, bool coin) {
  struct Bit {
    uint32_t bit;
    const char *name;
  };
  static constexpr Bit kCoin[] = {{TAVO_COIN_ACCEPTING, "accepting"},
                                  {TAVO_COIN_STOPPED, "stopped"},
                                  {TAVO_COIN_LATCHED, "coin_returned"},
                                  {TAVO_COIN_PAYOUT, "payout"},
                                  {TAVO_COIN_SETTLED, "settled"}};
  static constexpr Bit kBill[] = {{TAVO_BILL_ACCEPTING, "accepting"},
                                  {TAVO_BILL_STOPPED, "stopped"},
                                  {TAVO_BILL_PAYOUT, "payout"},
                                  {TAVO_BILL_SETTLED, "settled"},
                                  {TAVO_BILL_HELD, "note_held"}};
  json::array out;
  uint32_t low = flags & 0xFFu, named = 0;
  for (const Bit &b :
       coin ? std::span<const Bit>(kCoin) : std::span<const Bit>(kBill)) {
    if (low & b.bit) out.emplace_back(b.name);
    named |= b.bit;
  }
  // Bits the library does not name (a jam, on the units known so far).
  for (uint32_t bit = 1; bit < 0x100; bit <<= 1) {
    if ((low & bit) && !(named & bit)) {
      char name[8];
      std::snprintf(name, sizeof name, "0x%02X", bit);
      out.emplace_back(name);
    }
  }
  return out;
}

json::array PendingNames(uint32_t flags) {
  json::array out;
  uint32_t p = flags >> 24;
  if (p & TAVO_PENDING_SETTLE) out.emplace_back("settle");
  if (p & TAVO_PENDING_PAYOUT) out.emplace_back("payout");
  if (p & TAVO_PENDING_RECHECK) out.emplace_back("recheck");
  if (p & TAVO_PENDING_COUNT) out.emplace_back("count");
  return out;
}

std::string Text(const uint8_t *bytes, size_t size) {
  size_t n = 0;
  while (n < size && bytes[n]) ++n;
  while (n > 0 && bytes[n - 1] == ' ') --n;
  return std::string(reinterpret_cast<const char *>(bytes), n);
}

bool Fitted(const uint8_t id[2]) { return id[0] || id[1]; }

}  // namespace

Worker::Worker(boost::asio::io_context &io, Journal &journal, Metrics &metrics,
               WorkerOptions options, EventSink events)
    : io_(io),
      timer_(io),
      journal_(journal),
      metrics_(metrics),
      options_(std::move(options)),
      events_(std::move(events)) {
  PublishUnit();
}

bool Worker::Start(std::string *error) {
  if (!LoadUnit(options_.provider, &x_, &vu_, error)) return false;
  if (std::optional<SaleRecord> open = journal_.Unfinished()) {
    // A sale the last run did not finish: whatever step it had reached,
    // the unit's meters tell what happened since, and recovery settles it.
    sale_.emplace();
    sale_->rec = *open;
    bool chargeFixed = open->step.rfind("recover_", 0) == 0;
    sale_->rec.step = chargeFixed ? "recover_again" : "recover";
    sale_->unitLostSince = Clock::now();
  }
  // A payout or reset the last run did not finish: the trade it may have
  // left in the unit is settled at open, before any sale begins.
  if (std::optional<Operation> op = journal_.UnfinishedOperation()) {
    op_ = *op;
    op_->detail = "cut short (step " + op_->step + "), settled after a restart";
  }
  metrics_.OpenIncidents(journal_.Incidents(true).size());
  CheckJournal();
  OpenUnit();
  Schedule(0);
  return true;
}

// ------------------------------------------------------------- the unit

uint32_t Worker::Call(const char *name, const std::function<uint32_t()> &fn) {
  auto start = Clock::now();
  auto code = static_cast<uint16_t>(fn() & 0xFFFFu);
  metrics_.Exchange(
      name, std::chrono::duration<double>(Clock::now() - start).count());
  if (code != 0) {
    metrics_.Fault(code, IsLinkError(code));
    CodeInfo info = DescribeCode(code);
    json::object e;
    e["export"] = name;
    AddCode(e, code);
    events_("fault", std::move(e));
  }
  lastCode_ = code;
  return code;
}

bool Worker::OpenUnit() {
  uint32_t h = 0;
  uint32_t code = Call("TAVO_Open", [&] { return x_.Open(&h); });
  // 0x0119: open, but a money unit did not take its settle command; the
  // next trade begin reads the units again.
  if (code != 0 && code != 0x0119) {
    nextOpenTry_ = Clock::now() + std::chrono::milliseconds(kReopenMs);
    PublishUnit();
    return false;
  }
  handle_ = h;
  open_ = true;
  failedPolls_ = 0;
  if (!sale_ || sale_->rec.Finished()) {
    // The open may have found a trade the units had not settled (a payout
    // cut short, a sale the journal lost): it is settled before anything
    // else. A sale under way settles its own trade through recovery.
    settled_ = false;
    settleStuck_ = false;
    settleStep_.clear();
    settleTries_ = 0;
  }
  metrics_.UnitUp(true);
  ReadBoard();
  PollStatus();
  PublishUnit();
  json::object e;
  e["connected"] = true;
  events_("unit", std::move(e));
  if (sale_ && !sale_->rec.Finished() && sale_->rec.step != "recover" &&
      sale_->rec.step != "recover_again") {
    // The unit was opened anew while a sale ran: the library's trade is
    // gone with the old connection, so the sale is settled from the meters
    // (with the charge as journaled once recovery has fixed it).
    bool chargeFixed = sale_->rec.step.rfind("recover_", 0) == 0;
    sale_->rec.step = chargeFixed ? "recover_again" : "recover";
    Save();
  }
  return true;
}

void Worker::CloseUnit() {
  if (open_) Call("TAVO_Close", [&] { return x_.Close(handle_); });
  open_ = false;
  metrics_.UnitUp(false);
  nextOpenTry_ = Clock::now();
  json::object e;
  e["connected"] = false;
  events_("unit", std::move(e));
  PublishUnit();
}

bool Worker::PollStatus() {
  TavoData before = tavo_;
  TavoData t{};
  uint32_t code =
      Call("TAVO_GetTAVOData", [&] { return x_.GetTAVOData(handle_, &t); });
  if (code != 0) {
    if (DescribeCode(static_cast<uint16_t>(code)).next == NextStep::kReopen ||
        ++failedPolls_ >= kLostAfterPolls) {
      CloseUnit();
    }
    return false;
  }
  failedPolls_ = 0;
  tavo_ = t;
  bool first = !tavoKnown_;
  tavoKnown_ = true;
  if (!first && sale_ && !sale_->rec.Finished()) NoticeInsertions(before);
  if (first || std::memcmp(&before, &t, sizeof t) != 0) PublishUnit();
  return true;
}

bool Worker::ReadBoard() {
  PcbData p{};
  uint32_t code =
      Call("TAVO_GetPCBData", [&] { return x_.GetPCBData(handle_, &p); });
  if (code != 0) return false;
  pcb_ = p;
  return true;
}

// The customer's credit as the library computes it: money in, less money
// out, less what the board has charged in this trade.
uint32_t Worker::ComputeCredit() const {
  uint32_t in = InsertedValue(), out = PaidValue();
  uint32_t net = out > in ? 0 : in - out;
  uint32_t charged = pcb_.Meters[8];
  return net > charged ? net - charged : 0;
}

uint32_t Worker::InsertedValue() const {
  uint32_t in = 0;
  for (int i = 0; i < 4; ++i) in += tavo_.CoinIn[i] * uint32_t(kCoinValues[i]);
  return in + kNoteValue * (tavo_.BillEscrow + tavo_.BillStacked);
}

uint32_t Worker::PaidValue() const {
  uint32_t out = 0;
  for (int i = 0; i < 4; ++i) {
    out += tavo_.CoinOut[i] * uint32_t(kCoinValues[i]);
  }
  return out + kNoteValue * tavo_.BillOut;
}

void Worker::NoticeInsertions(const TavoData &before) {
  for (int i = 0; i < 4; ++i) {
    if (tavo_.CoinIn[i] > before.CoinIn[i]) {
      json::object e;
      e["value"] = kCoinValues[i];
      e["count"] = tavo_.CoinIn[i] - before.CoinIn[i];
      events_("coin_inserted", std::move(e));
    }
  }
  int notes = tavo_.BillEscrow + tavo_.BillStacked;
  int notesBefore = before.BillEscrow + before.BillStacked;
  if (notes > notesBefore) {
    json::object e;
    e["value"] = kNoteValue;
    e["count"] = notes - notesBefore;
    events_("note_inserted", std::move(e));
  }
}

void Worker::PublishUnit() {
  json::object u;
  u["connected"] = open_;
  u["virtual"] = vu_.present;
  u["serial"] = Text(pcb_.SerialNo, sizeof pcb_.SerialNo);
  json::object board;
  board["text"] = Text(pcb_.BoardText, sizeof pcb_.BoardText);
  char aux[16];
  std::snprintf(aux, sizeof aux, "%06X", pcb_.BoardAux & 0xFFFFFFu);
  board["firmware"] = aux;
  board["charged_in_trade"] = pcb_.Meters[8];
  u["board"] = std::move(board);
  json::object coin;
  coin["fitted"] = Fitted(tavo_.CoinUnitId);
  coin["flags"] = FlagNames(tavo_.CoinFlags, true);
  coin["pending"] = PendingNames(tavo_.CoinFlags);
  json::array in, out;
  for (int i = 0; i < 4; ++i) {
    in.emplace_back(tavo_.CoinIn[i]);
    out.emplace_back(tavo_.CoinOut[i]);
  }
  coin["coins_in"] = std::move(in);
  coin["coins_out"] = std::move(out);
  u["coin_unit"] = std::move(coin);
  json::object note;
  note["fitted"] = Fitted(tavo_.BillUnitId);
  note["flags"] = FlagNames(tavo_.BillFlags, false);
  note["pending"] = PendingNames(tavo_.BillFlags);
  note["escrow"] = tavo_.BillEscrow;
  note["stacked"] = tavo_.BillStacked;
  note["notes_out"] = tavo_.BillOut;
  u["note_unit"] = std::move(note);
  json::object stock;
  std::array<int, 5> counts{};
  for (int i = 0; i < 4; ++i) {
    counts[i] = tavo_.CoinStock[i];
    stock[std::to_string(kCoinValues[i])] = tavo_.CoinStock[i];
  }
  counts[4] = tavo_.BillStock;
  stock["1000"] = tavo_.BillStock;
  u["stock"] = std::move(stock);
  u["credit"] = ComputeCredit();
  u["ready"] = open_ && settled_ && !stopping_ && !journal_.Faulted();
  bool active = sale_ && !sale_->rec.Finished();
  u["sale"] = active ? json::value(sale_->rec.id) : json::value(nullptr);
  if (lastCode_ != 0) {
    json::object last;
    AddCode(last, lastCode_);
    u["last_failure"] = std::move(last);
  } else {
    u["last_failure"] = nullptr;
  }
  if (tavoKnown_) metrics_.Stock(counts);
  auto text = std::make_shared<const std::string>(json::serialize(u));
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  snapshot_ = std::move(text);
}

std::shared_ptr<const std::string> Worker::UnitJson() const {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  return snapshot_;
}

// ------------------------------------------------------------- the timer

void Worker::Schedule(int ms) {
  timer_.expires_after(std::chrono::milliseconds(ms));
  timer_.async_wait([this](boost::system::error_code ec) {
    if (!ec) Tick();
  });
}

void Worker::Tick() {
  auto now = Clock::now();
  bool active = sale_ && !sale_->rec.Finished();
  if (!open_) {
    if (now >= nextOpenTry_) OpenUnit();
    if (!open_ && active) {
      if (sale_->unitLostSince == Clock::time_point{}) {
        sale_->unitLostSince = now;
      } else if (now - sale_->unitLostSince >
                 std::chrono::milliseconds(options_.faultTimeoutMs)) {
        Fail(lastCode_, "the unit could not be reached", sale_->rec.credit);
      }
    }
  }
  if (active && sale_->journalLostSince != Clock::time_point{} &&
      now - sale_->journalLostSince >
          std::chrono::milliseconds(options_.faultTimeoutMs)) {
    // The journal has refused the sale's steps for the whole fault time:
    // nothing may move without it, so a person settles the money.
    Fail(0, "the journal cannot be written: " + journal_.LastError(),
         sale_->rec.credit);
  }
  active = sale_ && !sale_->rec.Finished();
  if (open_ && active) {
    sale_->unitLostSince = {};
    Advance();
  } else if (open_ && !settled_ && !settleStuck_) {
    StepSettle();
  } else if (open_ && now >= nextIdlePoll_) {
    PollStatus();
    nextIdlePoll_ = now + std::chrono::milliseconds(options_.idlePollMs);
  }
  active = sale_ && !sale_->rec.Finished();
  bool settling = open_ && !settled_ && !settleStuck_;
  if (!active && !settling) CheckJournal();
  if (stopping_ && ((!active && !settling) || now >= stopBy_)) {
    Shutdown();
    if (auto stopped = std::move(stopped_)) stopped();
    return;
  }
  Schedule(active || settling
               ? options_.salePollMs
               : std::min(options_.idlePollMs, open_ ? 1000 : kReopenMs));
}

// The journal's fault, as /healthz and the metrics show it. The reserve is
// made again once the disk has room.
void Worker::CheckJournal() {
  if (journal_.Faulted()) journal_.KeepReserve();
  bool faulted = journal_.Faulted();
  if (faulted != journalFaulted_.exchange(faulted)) PublishUnit();
  metrics_.Journal(faulted, journal_.WriteErrors());
}

// ------------------------------------------------------------- the sale
//
// States, as the client sees them, and the steps inside them:
//   opening        trade begun, meters read (the base for a restart),
//                  acceptance switched on up to the price
//   accepting      the customer inserts money; polled until the credit
//                  reaches the price or the customer cancels
//   charging       the price is charged against the credit
//   paying_change  the rest of the credit is paid back ("paying": the
//                  payout is being started; "waiting": until the units
//                  report it done)
//   cancelling     the whole credit is paid back, with the same steps
//   ending         the trade is closed
//   done, cancelled, failed
// A restart (or a unit opened anew) settles an unfinished sale through the
// recover steps from the board's meters, whatever state it had reached.

bool Worker::Save() {
  SaleRecord &r = sale_->rec;
  r.updatedMs = NowMs();
  if (journal_.Save(r)) {
    sale_->journalLostSince = {};
    if (journal_.Faulted()) CheckJournal();
    return true;
  }
  // Money must not move on a step the journal does not hold: the steps
  // that move it wait until the journal can be written again, for at most
  // the fault time (see Tick).
  if (sale_->journalLostSince == Clock::time_point{}) {
    sale_->journalLostSince = Clock::now();
  }
  r.detail = "the journal cannot be written: " + journal_.LastError();
  CheckJournal();
  json::object e;
  e["sale"] = r.id;
  e["detail"] = r.detail;
  events_("journal", std::move(e));
  return false;
}

void Worker::Enter(const std::string &state, const std::string &step) {
  SaleRecord &r = sale_->rec;
  bool changed = r.state != state;
  r.state = state;
  r.step = step;
  sale_->tries = 0;
  Save();
  if (changed) events_("sale", SaleJson(r));
  PublishUnit();
}

void Worker::Finish(const std::string &state) {
  SaleRecord &r = sale_->rec;
  if (sale_->counting && vu_.present) {
    vu_state s{};
    if (vu_.getState(0, &s) == VU_OK)
      r.frames = s.frames - sale_->framesAtStart;
  }
  if (state != "failed" && r.lastCode != 0) {
    // A busy code or one that asked only to call again or poll left no
    // mark on a sale that ended as it should.
    NextStep next = DescribeCode(r.lastCode).next;
    if (TAVO_IS_BUSY(r.lastCode) || next == NextStep::kRetry ||
        next == NextStep::kPoll) {
      r.lastCode = 0;
    }
  }
  if (state == "failed") {
    // The trade may still hold the money the incident is about: it is
    // looked at again before the next sale (see StepSettle).
    settled_ = false;
    settleStuck_ = false;
    settleStep_.clear();
    settleTries_ = 0;
  } else {
    settled_ = true;  // the trade was closed
  }
  Enter(state, "");  // publishes the unit, ready again
  metrics_.SaleFinished(state, r.charged, r.inserted);
  metrics_.PaidOut(r.paid);
  nextIdlePoll_ = Clock::now();
}

void Worker::Fail(uint16_t code, const std::string &detail, uint32_t owed) {
  SaleRecord &r = sale_->rec;
  r.lastCode = code;
  r.detail = detail;
  if (owed > 0 || code != 0) {
    OpenIncident(
        r.id, code,
        "sale " + std::to_string(r.id) + " (" + r.state + "): " + detail, owed);
  }
  Finish("failed");
}

void Worker::OpenIncident(int64_t saleId, uint16_t code,
                          const std::string &detail, uint32_t owed) {
  Incident i;
  i.saleId = saleId;
  i.createdMs = NowMs();
  i.amount = owed;
  i.code = code;
  i.detail = detail;
  // An incident the journal cannot take (a full disk) still reaches the
  // events and the metrics' count, for the alert to call a person.
  if (!journal_.AddIncident(&i)) ++unjournaledIncidents_;
  json::object e;
  e["id"] = i.id;
  e["sale"] = saleId;
  e["amount"] = owed;
  e["detail"] = detail;
  events_("incident", std::move(e));
  metrics_.OpenIncidents(journal_.Incidents(true).size() +
                         unjournaledIncidents_);
}

void Worker::Crash(const std::string &point) {
  if (!options_.crashAt.empty() && options_.crashAt == point) {
    std::raise(SIGKILL);
  }
}

bool Worker::OnCode(uint16_t code, const char *what) {
  SaleRecord &r = sale_->rec;
  CodeInfo info = DescribeCode(code);
  r.lastCode = code;
  r.detail = std::string(what) + ": " + info.text;
  int tries = ++sale_->tries;
  switch (info.next) {
    case NextStep::kNone:
      return true;
    case NextStep::kRetry:
      if (tries <= kMaxRetries) return true;
      break;
    case NextStep::kPoll:
      PollStatus();
      if (tries <= kMaxPolls) return true;
      break;
    case NextStep::kReadBoard:
      ReadBoard();
      PollStatus();
      if (tries <= kMaxRetries) return true;
      break;
    case NextStep::kPayBack:
      if (tries > kMaxRetries) break;
      if (r.state == "opening" || r.state == "accepting" ||
          r.state == "charging") {
        Enter("cancelling");
      } else if (r.state == "ending") {
        Enter(r.charged ? "paying_change" : "cancelling");
      }
      return true;
    case NextStep::kReopen:
      CloseUnit();
      return true;
    case NextStep::kFixCall:
    case NextStep::kService:
      // Before the charge the money is still the customer's: give it back
      // if the unit lets us; after that a person has to look.
      if (tries <= 1 &&
          (r.state == "opening" || r.state == "accepting" ||
           r.state == "charging") &&
          r.charged == 0) {
        Enter("cancelling");
        r.lastCode = code;
        r.detail = std::string(what) + ": " + info.text;
        return true;
      }
      break;
  }
  Fail(code, r.detail, r.state == "opening" ? 0 : r.credit);
  return false;
}

void Worker::Advance() {
  SaleRecord &r = sale_->rec;
  const std::string &state = r.state;
  bool recovering = r.step.rfind("recover", 0) == 0;
  bool chargeSent = state == "charging" && r.step == "charge_sent";
  if (!recovering && !r.cancelRequested && r.charged == 0 && !chargeSent &&
      (state == "opening" || state == "accepting" || state == "charging") &&
      (journal_.Faulted() || stopping_)) {
    // Before the charge the money is the customer's. A journal that had to
    // spend its reserve to write (a full disk) sees the sale to its end
    // only if it ends soon, and a stopping service ends it: paid back.
    r.cancelRequested = true;
    r.detail = stopping_ ? "the service is stopping: the money is paid back"
                         : "the journal's disk is full: the money is paid "
                           "back";
    if (state != "opening") Enter("cancelling");
  }
  if (recovering) {
    StepRecover();
  } else if (state == "opening") {
    StepOpening();
  } else if (state == "accepting") {
    StepAccepting();
  } else if (state == "charging") {
    StepCharging();
  } else if (state == "paying_change" || state == "cancelling") {
    StepPaying();
  } else if (state == "ending") {
    StepEnding();
  }
}

void Worker::StepOpening() {
  SaleRecord &r = sale_->rec;
  if (r.step.empty()) {
    if (vu_.present) {
      vu_state s{};
      sale_->counting = vu_.getState(0, &s) == VU_OK;
      sale_->framesAtStart = s.frames;
    }
    uint32_t code =
        Call("TAVO_TradeBegin", [&] { return x_.TradeBegin(handle_); });
    if (code != 0) {
      OnCode(static_cast<uint16_t>(code), "opening the trade");
      return;
    }
    Crash("opening:after-trade-begin");
    r.step = "begun";
  }
  if (!r.meterBaseKnown) {
    if (!ReadBoard()) {
      OnCode(lastCode_, "reading the board");
      return;
    }
    for (int i = 0; i < 4; ++i) r.meterBase[i] = pcb_.Meters[i];
    r.meterBaseKnown = true;
    Save();
  }
  if (r.cancelRequested) {
    Enter("cancelling");  // acceptance never went on
    return;
  }
  // Notes: as many as the price needs, and one more that may bring change.
  uint32_t notes = std::min<uint32_t>(7, r.price / kNoteValue + 1);
  uint32_t code = Call("TAVO_AcceptEx",
                       [&] { return x_.AcceptEx(handle_, r.price, notes); });
  if (code != 0) {
    OnCode(static_cast<uint16_t>(code), "switching acceptance on");
    return;
  }
  Enter("accepting");
}

void Worker::StepAccepting() {
  SaleRecord &r = sale_->rec;
  if (!PollStatus()) {
    OnCode(lastCode_, "reading the money units");
    return;
  }
  uint32_t credit = ComputeCredit(), inserted = InsertedValue();
  if (credit != r.credit || inserted != r.inserted) {
    r.credit = credit;
    r.inserted = inserted;
    Save();
    json::object e;
    e["sale"] = r.id;
    e["credit"] = credit;
    e["inserted"] = inserted;
    e["price"] = r.price;
    events_("credit", std::move(e));
  }
  if (r.cancelRequested) {
    Enter("cancelling");
  } else if (r.credit >= r.price) {
    Enter("charging");
  }
}

void Worker::StepCharging() {
  SaleRecord &r = sale_->rec;
  // From here the charge may be made: a cancel can no longer be taken.
  r.step = "charge_sent";
  if (!Save()) {
    r.step.clear();
    return;
  }
  Crash("charging:before");
  uint32_t code =
      Call("TAVO_Charge", [&] { return x_.Charge(handle_, r.price); });
  if (code != 0) {
    auto c = static_cast<uint16_t>(code);
    CodeInfo info = DescribeCode(c);
    if (info.next == NextStep::kReadBoard) {
      // The charge may have been made. The library checks it on the
      // board's meter when it is called again with the same amount, before
      // anything else, and never charges twice: so call it again.
      r.lastCode = c;
      r.detail = "charging the price: " + info.text;
      if (++sale_->tries > kMaxRetries) {
        Fail(c, r.detail + " (the charge could not be settled)", r.credit);
      }
      return;
    }
    OnCode(c, "charging the price");
    return;
  }
  Crash("charging:after");
  r.charged = r.price;
  ReadBoard();  // the board's meter of the trade now holds the charge
  r.credit = ComputeCredit();
  Enter("paying_change");
}

// The payout is judged done by its effect, the credit reaching 0 as the
// units report the money out. (The pending bits mirrored in the top byte
// of the flags are renewed only when a unit reports its status, so they can
// stay set after the work is done.) Whether the unit is still busy is for
// the library to say: its codes lead to polling and trying again.
void Worker::StepPaying() {
  SaleRecord &r = sale_->rec;
  if (!PollStatus()) {
    OnCode(lastCode_, "reading the money units");
    return;
  }
  // Money still arriving (a coin that was on its way when acceptance went
  // off) counts as inserted and is paid back with the rest.
  r.credit = ComputeCredit();
  r.inserted = InsertedValue();
  r.paid = PaidValue();
  if (r.credit == 0) {
    Enter("ending");
    return;
  }
  if (r.step == "waiting" && ++sale_->tries <= kMaxPolls) return;
  r.step = "paying";
  sale_->tries = 0;
  if (!Save()) return;
  Crash(r.state + ":before");
  uint32_t code = Call("TAVO_PayBack", [&] { return x_.PayBack(handle_); });
  if (code != 0) {
    auto c = static_cast<uint16_t>(code);
    if (OnCode(c, "paying back the credit") &&
        DescribeCode(c).next == NextStep::kReadBoard) {
      // The payout may have started: give the units the time of a payout
      // to show it before paying again, so that nothing is paid twice.
      r.step = "waiting";
      sale_->tries = 0;
      Save();
    }
    return;
  }
  Crash(r.state + ":after");
  json::object e;
  e["sale"] = r.id;
  e["amount"] = r.credit;
  events_("payout", std::move(e));
  r.step = "waiting";
  sale_->tries = 0;
  Save();
}

void Worker::StepEnding() {
  SaleRecord &r = sale_->rec;
  Crash("ending:before");
  uint32_t code = Call("TAVO_TradeEnd", [&] { return x_.TradeEnd(handle_); });
  if (code != 0) {
    OnCode(static_cast<uint16_t>(code), "closing the trade");
    return;
  }
  Crash("ending:after");
  PollStatus();
  Finish(r.charged ? "done" : "cancelled");
}

// A fitted unit that reports neither stopped nor accepting is paying out
// (or jammed).
bool Worker::UnitsBusy() const {
  bool coinBusy =
      Fitted(tavo_.CoinUnitId) &&
      !(tavo_.CoinFlags & (TAVO_COIN_STOPPED | TAVO_COIN_ACCEPTING));
  bool noteBusy =
      Fitted(tavo_.BillUnitId) &&
      !(tavo_.BillFlags & (TAVO_BILL_STOPPED | TAVO_BILL_ACCEPTING));
  return coinBusy || noteBusy;
}

bool Worker::MeasureMeters(int64_t *in, int64_t *out) {
  if (!ReadBoard()) return false;
  const uint32_t *m = pcb_.Meters;
  const uint32_t *b = sale_->rec.meterBase;
  *in = int64_t(m[0]) - b[0] + int64_t(m[1]) - b[1];
  *out = int64_t(m[2]) - b[2] + int64_t(m[3]) - b[3];
  return true;
}

// Settling a sale after a restart or a reopened unit. Opening the unit
// keeps a trade the units had not settled, and TAVO_TradeBegin carries it
// on: its Credit is what the customer is still owed. The charge is read
// from the board's trade meter first and journaled (the journal knows only
// the charges it saw succeed); then a new trade switches acceptance off and
// carries the money on, the units are waited for, and the credit is
// checked against the board's money meters since the base journaled at the
// sale's start (where the board counts money there: the virtual unit
// does). The credit is paid back and the sale closed as done or cancelled;
// where the two disagree, or the payout falls short, the sale fails with an
// incident for the amount owed. Every step may be cut by another crash:
// the next start measures again, and a payout already made shows in the
// credit.
void Worker::StepRecover() {
  SaleRecord &r = sale_->rec;
  if (r.step == "recover" || r.step == "recover_again") {
    if (!ReadBoard()) {
      OnCode(lastCode_, "reading the board after a restart");
      return;
    }
    // The journal knows a charge it saw succeed; one made just before the
    // service died shows only in the board's trade meter.
    uint32_t charged = r.charged;
    if (charged == 0 && r.step == "recover") charged = pcb_.Meters[8];
    if (charged != 0 && charged != r.price) {
      Fail(0,
           "the board's trade meter shows " + std::to_string(charged) +
               " charged, not the price",
           r.credit);
      return;
    }
    TavoData backup{};
    bool backupKept =
        x_.GetBackupData(handle_, &backup) == 0 &&
        std::any_of(reinterpret_cast<const uint8_t *>(&backup),
                    reinterpret_cast<const uint8_t *>(&backup + 1),
                    [](uint8_t b) { return b != 0; });
    r.charged = charged;
    r.detail = "settling after a restart" +
               std::string(backupKept ? " (the board kept a backup)" : "");
    Enter(r.charged ? "paying_change" : "cancelling", "recover_begin");
  }
  if (r.step == "recover_begin") {
    uint32_t code =
        Call("TAVO_TradeBegin", [&] { return x_.TradeBegin(handle_); });
    if (code != 0) {
      OnCode(static_cast<uint16_t>(code), "opening a trade to settle");
      return;
    }
    r.step = "recover_measure";
    sale_->tries = 0;
  }
  if (r.step == "recover_measure" || r.step == "recover_wait") {
    if (!PollStatus()) {
      OnCode(lastCode_, "reading the money units");
      return;
    }
    if (UnitsBusy() && ++sale_->tries <= kMaxPolls) return;
    if (!ReadBoard()) {
      OnCode(lastCode_, "reading the board's meters");
      return;
    }
    // What the library carried on into the new trade is what the customer
    // is owed. The board's money meters measure the same since the sale's
    // start; where they count (the virtual unit's do), they must agree.
    uint32_t owed = pcb_.Credit;
    int64_t in = 0, out = 0;
    if (r.meterBaseKnown) MeasureMeters(&in, &out);
    bool metersCount = in != 0 || out != 0;
    int64_t metered = in - out - r.charged;
    if (r.step == "recover_wait") {
      bool unpaid = metersCount ? metered > 0 : owed > 0;
      if (unpaid && ++sale_->tries <= kMaxPolls) return;  // still paying
      if (unpaid || (metersCount && metered < 0)) {
        Fail(lastCode_, "the payout after a restart fell short",
             std::max<uint32_t>(
                 owed, static_cast<uint32_t>(std::max<int64_t>(metered, 0))));
        return;
      }
      // Paid: the sale's figures are those of the whole trade, the payout
      // made now included.
      if (metersCount) {
        r.inserted = static_cast<uint32_t>(in);
        r.paid = static_cast<uint32_t>(out);
      } else if (InsertedValue() != 0) {
        r.inserted = InsertedValue();
        r.paid = PaidValue();
      }
      r.credit = 0;
      r.step = "recover_end";
      Save();
    } else if (metersCount && metered < owed) {
      // The meters show less than the credit: paying the credit could pay
      // money that never came in. A person decides.
      Fail(0,
           "the unit's credit (" + std::to_string(owed) +
               ") is above what its money meters show owed (" +
               std::to_string(metered) + ")",
           owed);
      return;
    } else if (metersCount && metered > owed) {
      // Money the meters counted but the carried credit lost (a note taken
      // in but not yet counted when the service died): the meters count
      // every coin and note, so they are paid.
      r.detail += "; the meters show " + std::to_string(metered) +
                  " owed, the carried credit " + std::to_string(owed);
      owed = static_cast<uint32_t>(metered);
    }
    if (r.step != "recover_end") {
      if (metersCount) {
        r.inserted = static_cast<uint32_t>(in);
        r.paid = static_cast<uint32_t>(out);
      } else if (InsertedValue() != 0) {
        // The trade carried on holds the sale's coins and notes.
        r.inserted = InsertedValue();
        r.paid = PaidValue();
      }
      r.credit = owed;
      r.step = owed > 0 ? "recover_pay" : "recover_end";
      sale_->tries = 0;
      Save();
    }
  }
  if (r.step == "recover_pay") {
    r.step = "recover_paying";
    if (!Save()) {
      r.step = "recover_pay";
      return;
    }
    Crash("recover:before-payout");
    uint32_t code =
        Call("TAVO_PayOut", [&] { return x_.PayOut(handle_, r.credit); });
    if (code != 0) {
      auto c = static_cast<uint16_t>(code);
      // A payout that may have started is measured, never repeated.
      r.step = DescribeCode(c).next == NextStep::kReadBoard ? "recover_wait"
                                                            : "recover_pay";
      if (OnCode(c, "paying back after a restart")) Save();
      return;
    }
    Crash("recover:after-payout");
    json::object e;
    e["sale"] = r.id;
    e["amount"] = r.credit;
    events_("payout", std::move(e));
    r.step = "recover_wait";
    sale_->tries = 0;
    Save();
    return;
  }
  if (r.step == "recover_end") {
    uint32_t code = Call("TAVO_TradeEnd", [&] { return x_.TradeEnd(handle_); });
    if (code != 0) {
      OnCode(static_cast<uint16_t>(code), "closing the settling trade");
      return;
    }
    r.credit = 0;
    Finish(r.charged ? "done" : "cancelled");
  }
}

// After an open with no sale under way: a new trade carries on whatever the
// units had not settled. A trade with no money in it is closed again at
// once. One that an unfinished operation explains (a payout cut short) is
// measured, journaled and closed; what it paid stays paid, nothing is paid
// again. Money in a trade that nothing journaled explains is still the
// customer's in the unit's own accounts: it is journaled, paid back and the
// trade closed. What cannot be settled opens an incident and keeps sales
// and payouts off until the operator resets the unit.
void Worker::StepSettle() {
  if (settleStep_.empty()) {
    uint32_t code =
        Call("TAVO_TradeBegin", [&] { return x_.TradeBegin(handle_); });
    // 0x1003: the trade is open in this connection already (a payout whose
    // trade end failed): that is the trade to settle.
    if (code != 0 && code != TAVO_CODE(TAVO_FN_TRADEBEGIN, 0x03)) {
      SettleRetry(static_cast<uint16_t>(code), "opening a trade to settle");
      return;
    }
    settleStep_ = "measure";
    settleTries_ = 0;
  }
  if (settleStep_ == "measure") {
    if (!PollStatus()) {
      SettleRetry(lastCode_, "reading the money units");
      return;
    }
    if (UnitsBusy() && ++settleTries_ <= kMaxPolls) return;
    if (!ReadBoard()) {
      SettleRetry(lastCode_, "reading the board");
      return;
    }
    uint32_t in = InsertedValue(), out = PaidValue();
    uint32_t charged = pcb_.Meters[8], credit = pcb_.Credit;
    if (op_ && op_->kind == "payout") {
      // What the payout paid: the board's money meters since its base where
      // they count (the virtual unit's do), else the trade's carried counts;
      // never less than was journaled.
      uint32_t paid = std::max(op_->paid, out);
      if (op_->meterBaseKnown) {
        const uint32_t *m = pcb_.Meters, *b = op_->meterBase;
        int64_t metered = int64_t(m[2]) - b[2] + int64_t(m[3]) - b[3];
        int64_t meteredIn = int64_t(m[0]) - b[0] + int64_t(m[1]) - b[1];
        if (metered > 0 || meteredIn > 0) {
          paid = static_cast<uint32_t>(std::max<int64_t>(metered, 0));
        }
      }
      op_->paid = paid;
    } else if (credit > 0 && OwedInIncident()) {
      // Money a failed sale left in the trade: its incident is open, and
      // the money stays in the unit until the operator, there to hand it
      // over, resolves the incident; then it is paid out.
      settleStuck_ = true;
      PublishUnit();
      return;
    } else if (in != 0 || out != 0 || charged != 0 || credit != 0) {
      Operation op;
      op.kind = "settle";
      op.state = "running";
      op.createdMs = op.updatedMs = NowMs();
      op.detail =
          "the unit carried a trade that no journaled sale or "
          "payout explains: " +
          std::to_string(in) + " in, " + std::to_string(out) + " out, " +
          std::to_string(charged) + " charged";
      if (!journal_.InsertOperation(&op)) CheckJournal();
      op_ = op;
    }
    if (op_) {
      if (credit > 0) {
        op_->found = credit;
        op_->detail += (op_->detail.empty() ? "" : "; ") +
                       std::string("credit ") + std::to_string(credit) +
                       " found in the trade, paid back";
      }
      op_->step = credit > 0 ? "pay" : "ending";
      SaveOp();
      settleStep_ = credit > 0 ? "pay" : "end";
    } else {
      settleStep_ = "end";
    }
    settleTries_ = 0;
  }
  if (settleStep_ == "pay") {
    op_->step = "paying";
    if (!SaveOp()) return;  // nothing moves that the journal does not hold
    Crash("settle:before-payout");
    uint32_t code = Call("TAVO_PayBack", [&] { return x_.PayBack(handle_); });
    if (code != 0 && DescribeCode(static_cast<uint16_t>(code)).next !=
                         NextStep::kReadBoard) {
      SettleRetry(static_cast<uint16_t>(code), "paying back the credit found");
      return;
    }
    // Sent, or it may have started: its effect is measured, never repeated.
    settleStep_ = "wait";
    settleTries_ = 0;
    return;
  }
  if (settleStep_ == "wait") {
    if (!PollStatus()) {
      SettleRetry(lastCode_, "reading the money units");
      return;
    }
    uint32_t credit = ComputeCredit();
    if (credit > 0 && ++settleTries_ <= kMaxPolls) return;
    if (credit > 0) {
      SettleStuck(lastCode_, "the pay-back of the credit found fell short",
                  credit);
      return;
    }
    op_->paid = PaidValue();
    op_->step = "ending";
    SaveOp();
    settleStep_ = "end";
    settleTries_ = 0;
  }
  if (settleStep_ == "end") {
    uint32_t code = Call("TAVO_TradeEnd", [&] { return x_.TradeEnd(handle_); });
    // 0x1103: no trade open, nothing to close.
    if (code != 0 && code != TAVO_CODE(TAVO_FN_TRADEEND, 0x03)) {
      SettleRetry(static_cast<uint16_t>(code), "closing the trade");
      return;
    }
    if (op_) {
      std::string state = "done";
      if (op_->kind == "payout" && op_->paid < op_->amount) {
        state = op_->paid == 0 && op_->lastCode != 0 ? "failed" : "short";
      }
      FinishOp(state);
    }
    settled_ = true;
    settleTries_ = 0;
    PollStatus();
    PublishUnit();
  }
}

void Worker::SettleRetry(uint16_t code, const char *what) {
  CodeInfo info = DescribeCode(code);
  if (op_) op_->lastCode = code;
  int tries = ++settleTries_;
  switch (info.next) {
    case NextStep::kReopen:
      CloseUnit();  // the open after it settles again
      return;
    case NextStep::kPayBack:
      // Credit appeared (0x1171 at the trade end): measure it again.
      settleStep_ = "measure";
      if (tries <= kMaxRetries) return;
      break;
    case NextStep::kNone:
    case NextStep::kRetry:
    case NextStep::kReadBoard:
      if (tries <= kMaxRetries) return;
      break;
    case NextStep::kPoll:
      PollStatus();
      if (tries <= kMaxPolls) return;
      break;
    case NextStep::kFixCall:
    case NextStep::kService:
      break;
  }
  SettleStuck(code, std::string(what) + ": " + info.text, op_ ? op_->found : 0);
}

void Worker::SettleStuck(uint16_t code, const std::string &detail,
                         uint32_t owed) {
  settleStuck_ = true;
  std::string what = "settling the unit's trade";
  if (op_) {
    what += " (operation " + std::to_string(op_->id) + ", " + op_->kind + ")";
    op_->lastCode = code;
    op_->detail += (op_->detail.empty() ? "" : "; ") + detail;
    FinishOp("failed");
  }
  OpenIncident(0, code, what + ": " + detail, owed);
  PublishUnit();
}

bool Worker::OwedInIncident() {
  for (const Incident &i : journal_.Incidents(true)) {
    if (i.amount > 0) return true;
  }
  return false;
}

bool Worker::SaveOp() {
  op_->updatedMs = NowMs();
  if (journal_.SaveOperation(*op_)) return true;
  CheckJournal();
  return false;
}

void Worker::FinishOp(const std::string &state) {
  op_->state = state;
  op_->step.clear();
  SaveOp();
  if (op_->paid) metrics_.PaidOut(op_->paid);
  json::object e;
  e["id"] = op_->id;
  e["kind"] = op_->kind;
  e["state"] = state;
  e["paid"] = op_->paid;
  events_("operation", std::move(e));
  finishedOp_ = *op_;
  op_.reset();
}

json::object Worker::SaleJson(const SaleRecord &r) const {
  json::object o;
  o["id"] = r.id;
  o["price"] = r.price;
  o["state"] = r.state;
  o["credit"] = r.credit;
  o["inserted"] = r.inserted;
  o["charged"] = r.charged;
  o["paid"] = r.paid;
  o["cancel_requested"] = r.cancelRequested;
  o["created_ms"] = r.createdMs;
  o["updated_ms"] = r.updatedMs;
  o["frames"] = r.frames;
  o["detail"] = r.detail;
  if (r.lastCode != 0) {
    json::object f;
    AddCode(f, r.lastCode);
    o["last_failure"] = std::move(f);
  } else {
    o["last_failure"] = nullptr;
  }
  return o;
}

// ------------------------------------------------------------- the jobs

// Whether a sale or payout may begin now; the refusal otherwise.
bool Worker::Ready(Answer *refusal) {
  if (stopping_) {
    *refusal = Problem(503, "stopping", "The service is stopping",
                       "try again once it has started again");
    return false;
  }
  if (!open_) {
    *refusal = Problem(503, "unit-unavailable", "The payment unit is not open",
                       "the unit could not be opened; see GET /v1/unit");
    return false;
  }
  if (!settled_) {
    *refusal = Problem(
        503, "unit-settling", "The unit's last trade is not settled",
        settleStuck_ ? "the unit holds money an open incident is about, or "
                       "a trade that could not be settled: see GET "
                       "/v1/incidents; resolving the incident pays the "
                       "money out, a reset settles the trade again"
                     : "the unit's last trade is being settled; try again "
                       "in a moment");
    return false;
  }
  if (journal_.Faulted() && !journal_.KeepReserve()) {
    *refusal = Problem(
        503, "journal", "The journal cannot be written",
        "the journal's disk is full or failing: " + journal_.LastError());
    return false;
  }
  return true;
}

Answer Worker::CreateSale(uint32_t price) {
  if (sale_ && !sale_->rec.Finished()) {
    return Problem(409, "sale-in-progress", "Another sale is in progress",
                   "sale " + std::to_string(sale_->rec.id) +
                       " is still in state " + sale_->rec.state +
                       "; one sale runs at a time");
  }
  Answer refusal;
  if (!Ready(&refusal)) return refusal;
  Sale s;
  s.rec.price = price;
  s.rec.state = "opening";
  s.rec.createdMs = s.rec.updatedMs = NowMs();
  if (!journal_.Insert(&s.rec)) {
    CheckJournal();
    return Problem(503, "journal", "The journal cannot be written",
                   journal_.LastError());
  }
  sale_ = std::move(s);
  events_("sale", SaleJson(sale_->rec));
  Advance();
  Schedule(options_.salePollMs);  // from the idle pace to the sale's
  return Ok(SaleJson(sale_->rec), 201);
}

Answer Worker::GetSale(int64_t id) {
  if (sale_ && sale_->rec.id == id) return Ok(SaleJson(sale_->rec));
  std::optional<SaleRecord> r = journal_.Sale(id);
  if (!r) {
    return Problem(404, "no-such-sale", "No such sale",
                   "there is no sale " + std::to_string(id));
  }
  return Ok(SaleJson(*r));
}

Answer Worker::ListSales() {
  json::array a;
  for (const SaleRecord &r : journal_.RecentSales(50)) {
    a.push_back(sale_ && sale_->rec.id == r.id ? SaleJson(sale_->rec)
                                               : SaleJson(r));
  }
  json::object o;
  o["sales"] = std::move(a);
  return Ok(std::move(o));
}

Answer Worker::CancelSale(int64_t id) {
  if (!sale_ || sale_->rec.id != id) {
    if (journal_.Sale(id)) {
      return Problem(409, "sale-finished", "The sale is finished",
                     "sale " + std::to_string(id) + " is no longer running");
    }
    return Problem(404, "no-such-sale", "No such sale",
                   "there is no sale " + std::to_string(id));
  }
  SaleRecord &r = sale_->rec;
  if (r.Finished()) {
    return Problem(409, "sale-finished", "The sale is finished",
                   "sale " + std::to_string(id) + " ended as " + r.state);
  }
  if (r.charged || r.state == "paying_change") {
    return Problem(409, "sale-charged", "The sale can no longer be cancelled",
                   "the price has been charged; the change is being paid");
  }
  if (r.state == "charging" && r.step != "") {
    return Problem(409, "sale-charging", "The sale can no longer be cancelled",
                   "the charge has been sent to the unit; the sale ends "
                   "with its change, or pays everything back if the charge "
                   "did not count");
  }
  if (!r.cancelRequested) {
    r.cancelRequested = true;
    Save();
  }
  if (open_ && r.step.rfind("recover", 0) != 0) Advance();
  return Ok(SaleJson(r), 202);
}

// An operator payout in a trade of its own, journaled like a sale: before
// the trade begins, before the payout is sent and once it is measured. A
// payout cut short (the service killed, the trade not closed) is settled at
// the next open from what the unit carries, never sent again.
Answer Worker::Payout(uint32_t amount) {
  if (sale_ && !sale_->rec.Finished()) {
    return Problem(
        409, "sale-in-progress", "A sale is in progress",
        "pay out once sale " + std::to_string(sale_->rec.id) + " has ended");
  }
  Answer refusal;
  if (!Ready(&refusal)) return refusal;
  Operation op;
  op.kind = "payout";
  op.amount = amount;
  op.state = "running";
  op.step = "begin";
  op.createdMs = op.updatedMs = NowMs();
  if (!journal_.InsertOperation(&op)) {
    CheckJournal();
    return Problem(503, "journal", "The journal cannot be written",
                   journal_.LastError());
  }
  op_ = op;
  uint32_t code =
      Call("TAVO_TradeBegin", [&] { return x_.TradeBegin(handle_); });
  if (code != 0) {
    op_->lastCode = static_cast<uint16_t>(code);
    op_->detail = "the unit refused the payout's trade";
    FinishOp("failed");
    return UnitProblem(502, "The unit refused the payout's trade",
                       static_cast<uint16_t>(code));
  }
  Crash("payout:after-trade-begin");
  if (ReadBoard()) {
    for (int i = 0; i < 4; ++i) op_->meterBase[i] = pcb_.Meters[i];
    op_->meterBaseKnown = true;
  }
  op_->step = "paying";
  if (!SaveOp()) {
    // Nothing is paid that the journal does not hold; the trade is closed
    // at once (it holds no money yet) by the settling at the next tick.
    settled_ = false;
    settleStep_ = "end";
    return Problem(503, "journal", "The journal cannot be written",
                   journal_.LastError());
  }
  Crash("payout:before");
  code = Call("TAVO_PayOut", [&] { return x_.PayOut(handle_, amount); });
  Crash("payout:after");
  if (code == 0) {
    // The payout runs on the units: wait for them to report it.
    for (int i = 0; i < kMaxPolls; ++i) {
      if (PollStatus() && PaidValue() >= amount) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // Whatever the code, the units are measured and the trade closed by the
  // settling steps: a payout that may have started counts by its effect.
  op_->lastCode = static_cast<uint16_t>(code);
  op_->paid = PaidValue();
  op_->step = "ending";
  SaveOp();
  settled_ = false;
  settleStep_ = code == 0 ? "end" : "measure";
  settleTries_ = 0;
  if (code == 0) StepSettle();
  json::object o;
  o["id"] = op.id;
  o["amount"] = amount;
  o["paid"] = op_ ? op_->paid : finishedOp_.paid;
  if (op_) {
    // The trade could not be closed yet: the settling goes on.
    json::object f;
    AddCode(f, lastCode_);
    o["trade_end_failure"] = std::move(f);
  }
  if (code != 0) {
    return UnitProblem(502, "The unit refused the payout",
                       static_cast<uint16_t>(code));
  }
  return Ok(std::move(o));
}

Answer Worker::Display(uint32_t value) {
  if (!open_) {
    return Problem(503, "unit-unavailable", "The payment unit is not open",
                   "see GET /v1/unit");
  }
  uint32_t code =
      Call("TAVO_7SegNum", [&] { return x_.SegNum(handle_, 3, value); });
  if (code != 0) {
    return UnitProblem(502, "The display was not set",
                       static_cast<uint16_t>(code));
  }
  return Ok(json::object{{"value", value}});
}

Answer Worker::Beep() {
  if (!open_) {
    return Problem(503, "unit-unavailable", "The payment unit is not open",
                   "see GET /v1/unit");
  }
  static const uint8_t kPattern[] = {0x10, 0x00, 0x10};
  uint32_t code =
      Call("TAVO_BuzzCtrl", [&] { return x_.BuzzCtrl(handle_, 3, kPattern); });
  if (code != 0) {
    return UnitProblem(502, "The buzzer was not sounded",
                       static_cast<uint16_t>(code));
  }
  return Ok(json::object{{"beeped", true}});
}

Answer Worker::ResetUnit() {
  if (sale_ && !sale_->rec.Finished()) {
    return Problem(409, "sale-in-progress", "A sale is in progress",
                   "reset the unit once sale " + std::to_string(sale_->rec.id) +
                       " has ended");
  }
  if (!open_) {
    return Problem(503, "unit-unavailable", "The payment unit is not open",
                   "see GET /v1/unit");
  }
  if (!settled_ && !settleStuck_) {
    return Problem(503, "unit-settling", "The unit's last trade is not settled",
                   "the unit's last trade is being settled; try again in a "
                   "moment");
  }
  // Journaled as an operation: a reset drops whatever trade the board held
  // in its memory, and the open after it settles what the units kept.
  Operation op;
  op.kind = "reset";
  op.state = "running";
  op.step = "reset";
  op.createdMs = op.updatedMs = NowMs();
  if (!journal_.InsertOperation(&op)) {
    CheckJournal();
    return Problem(503, "journal", "The journal cannot be written",
                   journal_.LastError());
  }
  op_ = op;
  uint32_t code = Call("TAVO_Reset", [&] { return x_.Reset(handle_); });
  if (code != 0) {
    op_->lastCode = static_cast<uint16_t>(code);
    op_->detail = "the board was not reset";
    FinishOp("failed");
    return UnitProblem(502, "The board was not reset",
                       static_cast<uint16_t>(code));
  }
  open_ = false;
  metrics_.UnitUp(false);
  Crash("reset:after");
  // The open settles whatever the units kept; the operation ends with it.
  OpenUnit();
  return Ok(json::object{{"reset", true}, {"connected", open_}}, 200);
}

Answer Worker::ListIncidents(bool openOnly) {
  json::array a;
  for (const Incident &i : journal_.Incidents(openOnly)) {
    json::object o;
    o["id"] = i.id;
    o["sale"] = i.saleId;
    o["created_ms"] = i.createdMs;
    o["amount"] = i.amount;
    o["open"] = i.open;
    o["detail"] = i.detail;
    if (i.code) {
      AddCode(o, i.code);
    } else {
      o["code"] = nullptr;
    }
    a.push_back(std::move(o));
  }
  return Ok(json::object{{"incidents", std::move(a)}});
}

Answer Worker::ResolveIncident(int64_t id) {
  if (!journal_.CloseIncident(id)) {
    return Problem(404, "no-such-incident", "No such open incident",
                   "there is no open incident " + std::to_string(id));
  }
  metrics_.OpenIncidents(journal_.Incidents(true).size() +
                         unjournaledIncidents_);
  if (settleStuck_ && open_ && !OwedInIncident()) {
    // The money an incident held in the unit is paid out now.
    settleStuck_ = false;
    settled_ = false;
    settleStep_.clear();
    settleTries_ = 0;
  }
  return Ok(json::object{{"id", id}, {"open", false}});
}

Answer Worker::VirtualInsert(bool note, int value) {
  if (!vu_.present) {
    return Problem(404, "not-virtual", "No virtual unit",
                   "the service drives a real unit");
  }
  int r = note ? vu_.insertNote(0, value) : vu_.insertCoin(0, value);
  if (r == VU_OK) return Ok(json::object{{"accepted", true}, {"value", value}});
  const char *why = r == VU_REFUSED   ? "the unit refused it (acceptance off "
                                        "or escrow full); it was given back"
                    : r == VU_JAMMED  ? "the unit is jammed"
                    : r == VU_NO_UNIT ? "that money unit is not fitted"
                                      : "the virtual unit rejected the value";
  return Problem(409, "money-refused", "The money was not taken", why);
}

Answer Worker::VirtualFault(const std::string &kind, bool on) {
  if (!vu_.present) {
    return Problem(404, "not-virtual", "No virtual unit",
                   "the service drives a real unit");
  }
  int r = VU_ERR_ARGUMENT;
  if (kind == "coin_jam") {
    r = vu_.jam(0, VU_COIN, on);
  } else if (kind == "note_jam") {
    r = vu_.jam(0, VU_NOTE, on);
  } else if (kind == "power_failure") {
    r = vu_.powerFail(0);
  } else if (kind == "silence") {
    vu_fault f{};
    f.kind = VU_FAULT_SILENCE;
    f.command = -1;
    f.sub = -1;
    f.value = -1;
    f.count = -1;
    r = on ? vu_.addFault(0, &f) : vu_.clearFaults(0);
  }
  if (r != VU_OK) {
    return Problem(409, "fault-refused", "The fault was not staged",
                   "the virtual unit answered " + std::to_string(r));
  }
  return Ok(json::object{{"fault", kind}, {"on", on}});
}

Answer Worker::ListOperations() {
  json::array a;
  for (const Operation &op : journal_.RecentOperations(50)) {
    const Operation &o = op_ && op_->id == op.id ? *op_ : op;
    json::object j;
    j["id"] = o.id;
    j["kind"] = o.kind;
    j["amount"] = o.amount;
    j["state"] = o.state;
    j["paid"] = o.paid;
    j["found"] = o.found;
    j["detail"] = o.detail;
    j["created_ms"] = o.createdMs;
    j["updated_ms"] = o.updatedMs;
    if (o.lastCode != 0) {
      json::object f;
      AddCode(f, o.lastCode);
      j["last_failure"] = std::move(f);
    } else {
      j["last_failure"] = nullptr;
    }
    a.push_back(std::move(j));
  }
  return Ok(json::object{{"operations", std::move(a)}});
}

void Worker::Stop(std::function<void()> stopped) {
  stopping_ = true;
  stopBy_ = Clock::now() + std::chrono::milliseconds(options_.stopTimeoutMs);
  stopped_ = std::move(stopped);
  PublishUnit();
  Schedule(0);
}

void Worker::Shutdown() {
  timer_.cancel();
  if (open_) CloseUnit();
}

Answer Worker::VirtualMoney() {
  if (!vu_.present) {
    return Problem(404, "not-virtual", "No virtual unit",
                   "the service drives a real unit");
  }
  vu_money_report m{};
  int r = vu_.checkMoney(0, &m);
  json::object o;
  o["balanced"] = r == VU_OK;
  o["value_in"] = m.value_in;
  o["value_out"] = m.value_out;
  o["unpaid"] = m.unpaid;
  return Ok(std::move(o));
}

}  // namespace tavod
