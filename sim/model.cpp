// The board, the coin unit and the note unit: how each answers a frame,
// what each reports, and how money moves between customer, stock and payout.
#include "model.h"

#include <algorithm>
#include <cstring>

namespace vu {

bool CarriesData(uint8_t command, uint8_t status) {
  // Reads and the backup reads carry their list after StAck as after StList;
  // every other command after StItem and StList.
  bool readLike = (command & 7) == 1 || command == 0xF6 || command == 0xF7;
  if (readLike) return status == StAck || status == StList;
  return status == StItem || status == StList;
}

uint8_t ToBcd(int value) {
  value = std::clamp(value, 0, 99);
  return static_cast<uint8_t>((value / 10) << 4 | (value % 10));
}

int FromBcd(uint8_t value) { return (value >> 4) * 10 + (value & 0x0F); }

namespace {

void Put16Le(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

void Put24Le(std::vector<uint8_t> &v, uint32_t x) {
  Put16Le(v, x);
  v.push_back(static_cast<uint8_t>(x >> 16));
}

void Put24Be(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x >> 16));
  v.push_back(static_cast<uint8_t>(x >> 8));
  v.push_back(static_cast<uint8_t>(x));
}

void Put32Be(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x >> 24));
  Put24Be(v, x);
}

bool CoinPresent(const Device &d) { return d.coin.fitted && !d.coin.removed; }
bool NotePresent(const Device &d) { return d.note.fitted && !d.note.removed; }

Reply OneByte(uint8_t status) { return Reply{{status}, true}; }

// A data-carrying reply: status, length, data, check byte.
Reply WithData(uint8_t status, const std::vector<uint8_t> &data) {
  Reply r;
  uint8_t length = static_cast<uint8_t>(data.size());
  uint8_t check = length;
  r.bytes.push_back(status);
  r.bytes.push_back(length);
  for (uint8_t b : data) {
    r.bytes.push_back(b);
    check ^= b;
  }
  r.bytes.push_back(check);
  return r;
}

std::vector<uint8_t> ListBytes(const Items &items) {
  std::vector<uint8_t> out;
  for (const Item &it : items) {
    out.push_back(static_cast<uint8_t>(it.value.size() + 1));
    out.push_back(it.tag);
    out.insert(out.end(), it.value.begin(), it.value.end());
  }
  return out;
}

// The items a report has to carry: all of them for a read, those whose
// value differs from the last report for a poll. A status item with events
// waiting is news even when its bytes look the same as last time.
Items Changes(const Reported &reported, const Items &items, uint8_t statusTag,
              bool eventsWaiting) {
  Items changed;
  for (const Item &it : items) {
    bool differs =
        !reported.known[it.tag] || reported.value[it.tag] != it.value;
    if (differs || (it.tag == statusTag && eventsWaiting)) {
      changed.push_back(it);
    }
  }
  return changed;
}

void Remember(Reported &reported, const Items &items) {
  for (const Item &it : items) {
    reported.known[it.tag] = true;
    reported.value[it.tag] = it.value;
  }
}

// A unit poll's reply: StAck for nothing new, StItem for one item (without
// its length byte: the library puts it back), StList for several.
Reply PollReply(const Items &changed) {
  if (changed.empty()) return OneByte(StAck);
  if (changed.size() == 1) {
    std::vector<uint8_t> data;
    data.push_back(changed[0].tag);
    data.insert(data.end(), changed[0].value.begin(), changed[0].value.end());
    return WithData(StItem, data);
  }
  return WithData(StList, ListBytes(changed));
}

bool TradeUnsettled(const Device &d) {
  for (int k = 0; k < 4; ++k) {
    if (d.coin.in[k] || d.coin.out[k]) return true;
  }
  return d.note.out || d.note.escrow || d.board.meters[4] || d.board.meters[8];
}

// The board keeps an unsettled trade in its backup memory when it stops.
void StoreBackupIfUnsettled(Device &d) {
  if (!TradeUnsettled(d)) return;
  d.board.backupStored = true;
  d.board.backupCoin = CoinPresent(d) ? CoinItems(d.coin) : Items{};
  d.board.backupNote = NotePresent(d) ? NoteItems(d.note) : Items{};
}

void FinishCoinPayout(Device &d) {
  CoinUnit &c = d.coin;
  for (int k = 0; k < 4; ++k) {
    c.stock[k] -= c.payoutPlan[k];
    c.out[k] = std::min(99, c.out[k] + c.payoutPlan[k]);
    d.money.paid[k] += c.payoutPlan[k];
    d.board.meters[2] +=
        static_cast<uint32_t>(c.payoutPlan[k] * kCoinValues[k]);
    c.payoutPlan[k] = 0;
  }
  c.payoutPolls = 0;
  c.events |= 0x10;
}

void FinishNotePayout(Device &d) {
  NoteUnit &n = d.note;
  n.stock -= n.payoutPlan;
  n.out = std::min(99, n.out + n.payoutPlan);
  d.money.paid[4] += n.payoutPlan;
  d.board.meters[3] += static_cast<uint32_t>(n.payoutPlan * kNoteValue);
  n.payoutPlan = 0;
  n.payoutPolls = 0;
  n.events |= 0x08;
}

// The mechanism runs one step per poll of its unit.
void TickCoin(Device &d) {
  if (d.coin.payoutPolls > 0 && !d.coin.jammed && --d.coin.payoutPolls == 0) {
    FinishCoinPayout(d);
  }
}

void TickNote(Device &d) {
  if (d.note.payoutPolls > 0 && !d.note.jammed && --d.note.payoutPolls == 0) {
    FinishNotePayout(d);
  }
}

void StackEscrow(Device &d) {
  NoteUnit &n = d.note;
  for (; n.escrow > 0; --n.escrow) {
    if (n.stock < kNoteCapacity) {
      ++n.stock;
    } else {
      ++d.money.cashbox[4];
    }
  }
}

void Restart(Device &d, uint64_t nowUs, bool timed, double restartMs) {
  Board &b = d.board;
  // A payout that was under way runs to its end while the board restarts.
  if (d.coin.payoutPolls > 0) FinishCoinPayout(d);
  if (d.note.payoutPolls > 0) FinishNotePayout(d);
  b.restarting = true;
  b.restartUntilUs =
      timed ? nowUs + static_cast<uint64_t>(restartMs * 1000) : UINT64_MAX;
  b.started = false;
  b.dots = 0;
  std::fill(std::begin(b.digits), std::end(b.digits), 0x80);
  b.outputPort = 0;
  b.buzzerLength = 0;
  d.coin.accepting = false;
  d.note.accepting = false;
}

Reply BoardSystem(Device &d, uint8_t action, uint64_t nowUs, bool timed,
                  double restartMs) {
  Board &b = d.board;
  switch (action) {
    case 0x80:
      StoreBackupIfUnsettled(d);
      ++b.meters[11];
      Restart(d, nowUs, timed, restartMs);
      return OneByte(StReset);
    case 0x40:
      b.backupStored = false;
      b.backupCoin.clear();
      b.backupNote.clear();
      return OneByte(StAck);
    case 0x01:
      b.started = true;
      ++b.meters[10];
      return OneByte(StAck);
    case 0x02:
      StoreBackupIfUnsettled(d);
      b.started = false;
      d.coin.accepting = false;
      d.note.accepting = false;
      return OneByte(StAck);
    default:
      return OneByte(StRefused);
  }
}

void Count(uint32_t &meter, uint32_t *total, uint32_t amount) {
  if (amount == 0) {
    meter = 0;
    return;
  }
  meter += amount;
  if (total) *total += amount;
}

Reply BoardCounter(Device &d, uint8_t selector, uint8_t value) {
  uint32_t *m = d.board.meters;
  if (selector & 0x80) {
    Count(m[8], &m[9], static_cast<uint32_t>((selector & 0x7F) << 8 | value));
    return OneByte(StAck);
  }
  switch (selector) {
    case 0x00:
      Count(m[4], &m[7], value);
      return OneByte(StAck);
    case 0x10:
      m[5] += value;
      return OneByte(StAck);
    case 0x20:
      m[6] += value;
      return OneByte(StAck);
    default:
      return OneByte(StRefused);
  }
}

Reply BoardWrite(Device &d, const uint8_t *p, uint32_t n, uint64_t nowUs,
                 bool timed, double restartMs) {
  Board &b = d.board;
  if (n == 0) return OneByte(StRefused);
  switch (p[0]) {
    case 0x70:
      if (n != 2) break;
      return BoardSystem(d, p[1], nowUs, timed, restartMs);
    case 0x71:
      if (n != 2) break;
      b.outputPort = p[1];
      return OneByte(StAck);
    case 0x72:
      if (n != 3) break;
      return BoardCounter(d, p[1], p[2]);
    case 0x73:
      if (n != 8) break;
      std::memcpy(b.clock, p + 1, 7);
      return OneByte(StAck);
    case 0x74:
      if (n != 6) break;
      b.dots = p[1];
      std::memcpy(b.digits, p + 2, 4);
      return OneByte(StAck);
    case 0x75:
      if (n > 33) break;
      b.buzzerLength = static_cast<int>(n - 1);
      std::memcpy(b.buzzer, p + 1, n - 1);
      ++b.buzzerCommands;
      return OneByte(StAck);
    default:
      break;
  }
  return OneByte(StRefused);
}

Reply CoinControl(Device &d, const uint8_t *p, uint32_t n) {
  CoinUnit &c = d.coin;
  if (n == 2 && p[0] == 0x00) {
    switch (p[1]) {
      case 0x00:
        c.accepting = false;
        return OneByte(StAck);
      case 0x01:
        // A stopped board, or a payout under way, keeps acceptance off.
        if (d.board.started && c.payoutPolls == 0) c.accepting = true;
        return OneByte(StAck);
      case 0x02:
        std::fill(std::begin(c.in), std::end(c.in), 0);
        std::fill(std::begin(c.out), std::end(c.out), 0);
        c.events |= 0x20;
        return OneByte(StAck);
      default:
        return OneByte(StRefused);
    }
  }
  if (n == 4 && p[0] == 0x01) {
    if (c.payoutPolls > 0) return OneByte(StRefused);
    int amount =
        FromBcd(p[1]) + (p[2] & 0x0F) * 100 + (p[2] >> 4) * 1000 + p[3] * 10000;
    int rest = amount;
    for (int k = 3; k >= 0; --k) {
      int take = std::min(rest / kCoinValues[k], c.stock[k]);
      c.payoutPlan[k] = take;
      rest -= take * kCoinValues[k];
    }
    d.money.unpaid += rest;
    c.accepting = false;
    c.payoutPolls = std::max(1, d.payoutPollsSetting);
    return OneByte(StAck);
  }
  return OneByte(StRefused);
}

Reply NoteControl(Device &d, const uint8_t *p, uint32_t n) {
  NoteUnit &u = d.note;
  if (n == 3 && p[0] == 0x10) {
    switch (p[1]) {
      case 0x20:
        u.accepting = false;
        return OneByte(StAck);
      case 0x21:
        if (d.board.started && u.payoutPolls == 0) u.accepting = true;
        return OneByte(StAck);
      case 0x02:
        StackEscrow(d);
        u.out = 0;
        u.events |= 0x10;
        return OneByte(StAck);
      default:
        return OneByte(StRefused);
    }
  }
  if (n == 5 && p[0] == 0x11) {
    if (u.payoutPolls > 0) return OneByte(StRefused);
    int count = p[2] >> 4;
    u.payoutPlan = std::min(count, u.stock);
    u.accepting = false;
    u.payoutPolls = std::max(1, d.payoutPollsSetting);
    return OneByte(StAck);
  }
  return OneByte(StRefused);
}

// A read reports everything, a poll what changed; `commit` false leaves the
// report undelivered (it is sent again next time).
Reply BoardReport(Device &d, bool poll, bool commit) {
  Items items = BoardItems(d.board);
  Items sent = poll ? Changes(d.board.reported, items, 0, false) : items;
  if (commit) Remember(d.board.reported, sent);
  return WithData(StList, ListBytes(sent));
}

Reply CoinReport(Device &d, bool poll, bool commit) {
  if (poll) TickCoin(d);
  Items items = CoinItems(d.coin);
  Items sent =
      poll ? Changes(d.coin.reported, items, 0x0B, d.coin.events != 0) : items;
  if (commit) {
    Remember(d.coin.reported, sent);
    for (const Item &it : sent) {
      if (it.tag == 0x0B) d.coin.events = 0;
    }
  }
  return poll ? PollReply(sent) : WithData(StList, ListBytes(sent));
}

Reply NoteReport(Device &d, bool poll, bool commit) {
  if (poll) TickNote(d);
  Items items = NoteItems(d.note);
  Items sent =
      poll ? Changes(d.note.reported, items, 0x1B, d.note.events != 0) : items;
  if (commit) {
    Remember(d.note.reported, sent);
    for (const Item &it : sent) {
      if (it.tag == 0x1B) d.note.events = 0;
    }
  }
  return poll ? PollReply(sent) : WithData(StList, ListBytes(sent));
}

Reply Backup(const Items &items, bool stored) {
  if (!stored || items.empty()) return OneByte(StNone);
  return WithData(StAck, ListBytes(items));
}

Reply Dispatch(Device &d, uint8_t command, const uint8_t *p, uint32_t n,
               bool commit, uint64_t nowUs, bool timed, double restartMs) {
  bool coin = CoinPresent(d);
  bool note = NotePresent(d);
  switch (command) {
    case 0xF0:
      return OneByte(StAck);
    case 0xF1:
      return BoardReport(d, false, commit);
    case 0xF2:
      return BoardReport(d, true, commit);
    case 0xF3:
      return BoardWrite(d, p, n, nowUs, timed, restartMs);
    case 0xF6:
      return Backup(d.board.backupCoin, d.board.backupStored);
    case 0xF7:
      return Backup(d.board.backupNote, d.board.backupStored);
    case 0x60:
      return OneByte(coin ? StAck : StNone);
    case 0x61:
      return coin ? CoinReport(d, false, commit) : OneByte(StNone);
    case 0x62:
      return coin ? CoinReport(d, true, commit) : OneByte(StNone);
    case 0x63:
      return coin ? CoinControl(d, p, n) : OneByte(StNone);
    case 0x58:
      return OneByte(note ? StAck : StNone);
    case 0x59:
      return note ? NoteReport(d, false, commit) : OneByte(StNone);
    case 0x5A:
      return note ? NoteReport(d, true, commit) : OneByte(StNone);
    case 0x5B:
      return note ? NoteControl(d, p, n) : OneByte(StNone);
    default:
      return OneByte(StNone);
  }
}

bool Matches(const vu_fault &f, uint8_t command, const uint8_t *p, uint32_t n) {
  if (f.command >= 0 && f.command != command) return false;
  if (f.sub >= 0 && (n < 1 || p[0] != f.sub)) return false;
  if (f.value >= 0 && (n < 2 || p[1] != f.value)) return false;
  return true;
}

int StrikingFault(Device &d, uint8_t command, const uint8_t *p, uint32_t n) {
  for (FaultRule &r : d.faults) {
    if (!Matches(r.rule, command, p, n)) continue;
    int seen = r.seen++;
    if (seen < r.rule.skip) continue;
    if (r.rule.count >= 0 && r.struck >= r.rule.count) continue;
    ++r.struck;
    return static_cast<int>(&r - d.faults.data());
  }
  return -1;
}

}  // namespace

uint8_t CoinStatus(const CoinUnit &c) {
  uint8_t s = c.events;
  if (c.jammed) {
    s |= 0x80;
  } else if (c.payoutPolls == 0) {
    s |= c.accepting ? 0x01 : 0x04;
  }
  return s;
}

void NoteStatus(const NoteUnit &n, uint8_t out[3]) {
  uint8_t s = n.events;
  if (n.escrow > 0) s |= 0x20;
  if (n.jammed) {
    s |= 0x80;
  } else if (n.payoutPolls == 0) {
    s |= n.accepting ? 0x01 : 0x04;
  }
  out[0] = s;
  out[1] = n.jammed ? 0x01 : 0x00;
  out[2] = 0;
}

Items CoinItems(const CoinUnit &c) {
  Items items;
  items.push_back({0x0D, {c.id[0], c.id[1]}});
  Item aux{0x0C, {}};
  Put24Le(aux.value, c.aux);
  items.push_back(aux);
  Item in{0x08, {}}, stock{0x09, {}}, out{0x0A, {}};
  for (int k = 0; k < 4; ++k) {
    in.value.push_back(ToBcd(c.in[k]));
    stock.value.push_back(ToBcd(c.stock[k]));
    out.value.push_back(ToBcd(c.out[k]));
  }
  items.push_back(in);
  items.push_back(stock);
  items.push_back(out);
  items.push_back({0x0B, {CoinStatus(c)}});
  return items;
}

Items NoteItems(const NoteUnit &n) {
  Items items;
  items.push_back({0x1D, {n.id[0], n.id[1]}});
  Item aux{0x1C, {}};
  Put16Le(aux.value, n.aux);
  items.push_back(aux);
  items.push_back({0x18, {ToBcd(n.escrow)}});
  items.push_back({0x19, {ToBcd(n.stock)}});
  items.push_back({0x1A, {ToBcd(n.out)}});
  uint8_t s[3];
  NoteStatus(n, s);
  items.push_back({0x1B, {s[0], s[1], s[2]}});
  return items;
}

Items BoardItems(const Board &b) {
  Items items;
  items.push_back({0x7D, std::vector<uint8_t>(b.text, b.text + 127)});
  Item meters{0x7A, {}};
  for (uint32_t m : b.meters) Put32Be(meters.value, m);
  items.push_back(meters);
  Item aux{0x79, {}};
  Put24Be(aux.value, b.aux);
  items.push_back(aux);
  Item blocks{0x7B, std::vector<uint8_t>(b.clock, b.clock + 7)};
  blocks.value.push_back(b.dots);
  blocks.value.insert(blocks.value.end(), b.digits, b.digits + 4);
  blocks.value.push_back(b.outputPort);
  blocks.value.push_back(static_cast<uint8_t>(b.buzzerLength));
  items.push_back(blocks);
  return items;
}

void InitDevice(Device &d, const vu_device_config &cfg) {
  d = Device{};
  d.config = cfg;
  d.coin.fitted = cfg.coin_fitted != 0;
  d.note.fitted = cfg.note_fitted != 0;
  std::memcpy(d.coin.id, cfg.coin_unit_id, 2);
  std::memcpy(d.note.id, cfg.note_unit_id, 2);
  for (int k = 0; k < 4; ++k) {
    d.coin.stock[k] = std::clamp(cfg.coin_stock[k], 0, kTubeCapacity);
    d.money.loaded[k] = d.coin.stock[k];
  }
  d.note.stock = std::clamp(cfg.note_stock, 0, kNoteCapacity);
  d.money.loaded[4] = d.note.stock;
  d.note.escrowCapacity = std::clamp(cfg.note_escrow, 1, 9);
  d.payoutPollsSetting = std::clamp(cfg.payout_polls, 1, 99);
  std::memcpy(d.board.text, cfg.board_text, 127);
}

namespace {

// The frame as the unit answers it, with the fault that strikes it.
Reply Answer(Device &d, uint8_t command, const uint8_t *payload,
             uint32_t length, uint64_t nowUs, bool timed, double restartMs) {
  int fault = StrikingFault(d, command, payload, length);
  int kind = fault >= 0 ? d.faults[fault].rule.kind : 0;
  if (kind == VU_FAULT_SILENCE) return Reply{{}, false};
  if (kind == VU_FAULT_STATUS) {
    uint8_t status = d.faults[fault].rule.status;
    if (CarriesData(command, status)) return WithData(status, {});
    return OneByte(status);
  }
  if (d.board.restarting) return Reply{{}, true};

  // The unit knows of the first two kinds that its reply went wrong and
  // reports the same again; of the last three it cannot know.
  bool spoilt = kind == VU_FAULT_BAD_CHECK || kind == VU_FAULT_SHORT;
  bool lost =
      kind == VU_FAULT_LOST || kind == VU_FAULT_GARBLED || kind == VU_FAULT_CUT;
  Reply r =
      Dispatch(d, command, payload, length, !spoilt, nowUs, timed, restartMs);
  if (!spoilt && !lost) return r;
  r.delivered = false;
  bool data = r.bytes.size() > 1;
  if (kind == VU_FAULT_LOST) {
    r.bytes.clear();
  } else if (kind == VU_FAULT_BAD_CHECK || kind == VU_FAULT_GARBLED) {
    if (data) {
      r.bytes.back() ^= 0x5A;
    } else if (!r.bytes.empty()) {
      r.bytes[0] ^= 0x40;
    }
  } else if (data) {
    size_t keep = 2 + (r.bytes.size() - 3) / 2;
    r.bytes.resize(keep);
  } else {
    r.bytes.clear();
  }
  return r;
}

void Act(Device &d, const vu_action &a, uint64_t nowUs, bool timed,
         double restartMs) {
  auto unitOf = [&](int unit) -> bool * {
    if (unit == VU_COIN) return &d.coin.jammed;
    if (unit == VU_NOTE) return &d.note.jammed;
    return nullptr;
  };
  auto removedOf = [&](int unit) -> bool * {
    if (unit == VU_COIN) return &d.coin.removed;
    if (unit == VU_NOTE) return &d.note.removed;
    return nullptr;
  };
  switch (a.kind) {
    case VU_ACT_INSERT_COIN:
      InsertCoin(d, a.arg);
      break;
    case VU_ACT_INSERT_NOTE:
      InsertNote(d, kNoteValue);
      break;
    case VU_ACT_RETURN_NOTE:
      ReturnNote(d);
      break;
    case VU_ACT_JAM:
    case VU_ACT_CLEAR_JAM:
      if (bool *jammed = unitOf(a.arg)) *jammed = a.kind == VU_ACT_JAM;
      break;
    case VU_ACT_POWER_FAIL:
      PowerFail(d, nowUs, timed, restartMs);
      break;
    case VU_ACT_REMOVE_UNIT:
    case VU_ACT_REFIT_UNIT:
      if (bool *removed = removedOf(a.arg))
        *removed = a.kind == VU_ACT_REMOVE_UNIT;
      break;
    default:
      break;
  }
}

void RunActions(Device &d, int after, uint8_t command, const uint8_t *p,
                uint32_t n, uint64_t nowUs, bool timed, double restartMs) {
  for (size_t i = 0; i < d.actions.size(); ++i) {
    ActionRule &r = d.actions[i];
    if (r.done || r.rule.after != after) continue;
    const vu_action &a = r.rule;
    if (a.command >= 0 && a.command != command) continue;
    if (a.sub >= 0 && (n < 1 || p[0] != a.sub)) continue;
    if (a.value >= 0 && (n < 2 || p[1] != a.value)) continue;
    if (r.seen++ < a.skip) continue;
    r.done = true;
    vu_action copy = a;  // an action may not add actions, but keep it safe
    Act(d, copy, nowUs, timed, restartMs);
  }
}

}  // namespace

Reply HandleFrame(Device &d, uint8_t command, const uint8_t *payload,
                  uint32_t length, uint64_t nowUs, bool timed,
                  double restartMs) {
  ++d.frames;
  ++d.framesByCommand[command];
  if (d.board.restarting && timed && nowUs >= d.board.restartUntilUs) {
    FinishRestart(d);
  }
  RunActions(d, 0, command, payload, length, nowUs, timed, restartMs);
  Reply r = Answer(d, command, payload, length, nowUs, timed, restartMs);
  RunActions(d, 1, command, payload, length, nowUs, timed, restartMs);
  return r;
}

int InsertCoin(Device &d, int value) {
  int k = 0;
  while (k < 4 && kCoinValues[k] != value) ++k;
  if (k == 4) return VU_ERR_ARGUMENT;
  CoinUnit &c = d.coin;
  if (!CoinPresent(d)) return VU_NO_UNIT;
  if (c.jammed) return VU_JAMMED;
  if (!c.accepting || d.board.restarting || c.payoutPolls > 0) {
    c.events |= 0x08;  // given back to the customer
    return VU_REFUSED;
  }
  if (c.stock[k] < kTubeCapacity) {
    ++c.stock[k];
  } else {
    ++d.money.cashbox[k];
  }
  c.in[k] = std::min(99, c.in[k] + 1);
  ++d.money.inserted[k];
  d.board.meters[0] += static_cast<uint32_t>(value);
  return VU_OK;
}

int InsertNote(Device &d, int value) {
  if (value != kNoteValue) return VU_ERR_ARGUMENT;
  NoteUnit &n = d.note;
  if (!NotePresent(d)) return VU_NO_UNIT;
  if (n.jammed) return VU_JAMMED;
  if (!n.accepting || d.board.restarting || n.payoutPolls > 0 ||
      n.escrow >= n.escrowCapacity) {
    n.events |= 0x40;
    return VU_REFUSED;
  }
  ++n.escrow;
  ++d.money.inserted[4];
  d.board.meters[1] += kNoteValue;
  return VU_OK;
}

int ReturnNote(Device &d) {
  NoteUnit &n = d.note;
  if (!NotePresent(d) || n.escrow == 0) return VU_REFUSED;
  --n.escrow;
  --d.money.inserted[4];
  d.board.meters[1] -= kNoteValue;
  n.events |= 0x40;
  return VU_OK;
}

void PowerFail(Device &d, uint64_t nowUs, bool timed, double restartMs) {
  StoreBackupIfUnsettled(d);
  Restart(d, nowUs, timed, restartMs);
}

void FinishRestart(Device &d) {
  d.board.restarting = false;
  d.board.restartUntilUs = 0;
}

int CheckMoney(const Device &d, vu_money_report *report) {
  vu_money_report r{};
  for (int k = 0; k < 5; ++k) {
    r.loaded[k] = d.money.loaded[k];
    r.inserted[k] = d.money.inserted[k];
    r.cashbox[k] = d.money.cashbox[k];
    r.paid[k] = d.money.paid[k];
    r.stock[k] = k < 4 ? d.coin.stock[k] : d.note.stock;
    r.escrow[k] = k < 4 ? 0 : d.note.escrow;
    long value = k < 4 ? kCoinValues[k] : kNoteValue;
    r.value_in += r.inserted[k] * value;
    r.value_out += r.paid[k] * value;
  }
  r.unpaid = d.money.unpaid;
  int result = VU_OK;
  for (int k = 0; k < 5; ++k) {
    if (r.loaded[k] + r.inserted[k] !=
        r.stock[k] + r.cashbox[k] + r.escrow[k] + r.paid[k]) {
      result = 1;
    }
  }
  if (report) *report = r;
  return result;
}

}  // namespace vu
