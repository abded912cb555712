#include "sale_fixture.h"

namespace sale {

namespace {

bool StartsWith(const Bytes &frame, const Bytes &prefix) {
  return frame.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), frame.begin());
}

unsigned FromBcd(uint8_t b) { return (b >> 4) * 10u + (b & 0x0Fu); }

uint8_t Clamp99(unsigned v) { return static_cast<uint8_t>(v > 99 ? 99 : v); }

// Coin stopped and note stopped bits: what an inhibit leads to.
constexpr uint8_t kStopped = 0x04;
constexpr uint8_t kAccepting = 0x01;

template <typename Unit>
void Inhibited(Unit &u, uint8_t &status) {
  // A unit that takes its time to stop reports neither bit meanwhile.
  status = static_cast<uint8_t>(status & ~(kAccepting | kStopped));
  u.countdown = u.stopAfter;
  if (u.stopAfter == 0) status |= kStopped;
}

template <typename Unit>
void Enabled(Unit &u, uint8_t &status) {
  status = static_cast<uint8_t>((status | kAccepting) & ~kStopped);
  u.countdown = 0;
}

// Called at each report of a unit: counts down to its stopped report and
// releases a payout report when the unit is allowed to make it.
template <typename Unit>
uint8_t Report(Unit &u, uint8_t &status, uint8_t payoutBit) {
  if (u.countdown > 0 && --u.countdown == 0) status |= kStopped;
  if (u.payoutUnreported && u.reportsPayout) {
    u.events |= payoutBit;
    u.payoutUnreported = false;
  }
  uint8_t s = static_cast<uint8_t>(status | u.events);
  u.events = 0;
  return s;
}

}  // namespace

Bytes BoardWrite(const Bytes &payload) { return Frame(0xF3, payload); }
Bytes CoinCtrl(uint8_t value) { return Frame(0x63, {0x00, value}); }
Bytes BillCtrl(uint8_t value) { return Frame(0x5B, {0x10, value, 0x00}); }
Bytes Counter(uint8_t selector, uint8_t value) {
  return BoardWrite({0x72, selector, value});
}
Bytes Display(uint8_t dots, uint8_t d0, uint8_t d1, uint8_t d2, uint8_t d3) {
  return BoardWrite({0x74, dots, d0, d1, d2, d3});
}

uint8_t Bcd(unsigned value) {
  return static_cast<uint8_t>(((value / 10) % 10) * 16 + value % 10);
}

void UnitModel::InsertCoins(int denomination, uint8_t count) {
  int k = denomination == 10    ? 0
          : denomination == 50  ? 1
          : denomination == 100 ? 2
                                : 3;
  coin.in[k] = Clamp99(coin.in[k] + count);
}

void UnitModel::InsertNote() {
  bill.escrow = Clamp99(bill.escrow + 1u);
  bill.s0 |= 0x20;  // a note is held
}

void UnitModel::Override(const Bytes &prefix, const Bytes &reply, int times,
                         int skip) {
  overrides_.push_back(Entry{prefix, reply, times, skip});
}

Bytes UnitModel::CoinItems(bool withId) {
  Bytes in, stock, out;
  for (int k = 0; k < 4; ++k) {
    in.push_back(Bcd(coin.in[k]));
    stock.push_back(Bcd(coin.stock[k]));
    out.push_back(Bcd(coin.out[k]));
  }
  Bytes items = fake::Concat(
      {fake::Item(0x08, in), fake::Item(0x09, stock), fake::Item(0x0A, out),
       fake::CoinStatus(Report(coin, coin.status, 0x10))});
  if (withId) {
    Bytes id = fake::Item(0x0D, {coin.id[0], coin.id[1]});
    items.insert(items.end(), id.begin(), id.end());
  }
  return items;
}

Bytes UnitModel::BillItems(bool withId) {
  Bytes items = fake::Concat(
      {fake::Item(0x18, {Bcd(bill.escrow)}),
       fake::Item(0x19, {Bcd(bill.stock)}), fake::Item(0x1A, {Bcd(bill.out)}),
       fake::BillStatus(Report(bill, bill.s0, 0x08), 0x00, 0x00)});
  if (withId) {
    Bytes id = fake::Item(0x1D, {bill.id[0], bill.id[1]});
    items.insert(items.end(), id.begin(), id.end());
  }
  return items;
}

void UnitModel::BoardCommand(const Bytes &p) {
  if (p.size() < 3 || p[0] != 0x72) return;
  uint8_t selector = p[1], value = p[2];
  if (selector == 0x00) counter0 = value == 0 ? 0 : counter0 + value;
  if ((selector & 0x80) == 0) return;
  uint32_t amount = ((selector & 0x7Fu) << 8) | value;
  // A zero amount starts the trade's count afresh.
  charged = amount == 0 ? 0 : charged + amount;
}

void UnitModel::CoinCommand(const Bytes &p) {
  if (p.size() >= 2 && p[0] == 0x00) {
    switch (p[1]) {
      case 0x00:
        Inhibited(coin, coin.status);
        break;
      case 0x01:
        Enabled(coin, coin.status);
        break;
      case 0x02:
        // Settled: the coins taken in go to the stock, the counts restart.
        for (int k = 0; k < 4; ++k) {
          coin.stock[k] = Clamp99(coin.stock[k] + coin.in[k]);
          coin.in[k] = 0;
          coin.out[k] = 0;
        }
        if (coin.reportsSettle) coin.events |= 0x20;
        break;
      default:
        break;
    }
  } else if (p.size() >= 4 && p[0] == 0x01) {
    unsigned amount = FromBcd(p[1]) + 100u * FromBcd(p[2]) + 10000u * p[3];
    static const unsigned kValue[4] = {10, 50, 100, 500};
    for (int k = 3; k >= 0; --k) {
      unsigned n = amount / kValue[k];
      if (n > coin.stock[k]) n = coin.stock[k];
      coin.stock[k] = static_cast<uint8_t>(coin.stock[k] - n);
      coin.out[k] = Clamp99(coin.out[k] + n);
      amount -= n * kValue[k];
    }
    coin.payoutUnreported = true;
  }
}

void UnitModel::BillCommand(const Bytes &p) {
  if (p.size() >= 3 && p[0] == 0x10) {
    switch (p[1]) {
      case 0x20:
        Inhibited(bill, bill.s0);
        break;
      case 0x21:
        Enabled(bill, bill.s0);
        break;
      case 0x02:
        // Settled: a held note is taken in, out of the escrow.
        bill.stock = Clamp99(bill.stock + bill.escrow);
        bill.escrow = 0;
        bill.s0 = static_cast<uint8_t>(bill.s0 & ~0x20);
        if (bill.reportsSettle) bill.events |= 0x10;
        break;
      default:
        break;
    }
  } else if (p.size() >= 5 && p[0] == 0x11) {
    unsigned count = p[2] >> 4;
    if (count > bill.stock) count = bill.stock;
    bill.stock = static_cast<uint8_t>(bill.stock - count);
    bill.out = Clamp99(bill.out + count);
    bill.payoutUnreported = true;
  }
}

bool UnitModel::Respond(const Bytes &frame, Bytes &reply) {
  for (auto it = overrides_.begin(); it != overrides_.end(); ++it) {
    if (!StartsWith(frame, it->prefix)) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    reply = it->reply;
    if (it->times > 0 && --it->times == 0) overrides_.erase(it);
    return true;
  }
  reply.clear();
  if (frame.size() < 2) return true;
  Bytes payload;
  if (frame.size() > 4) payload.assign(frame.begin() + 3, frame.end() - 1);
  switch (frame[0]) {
    case 0xF0:
      reply = kAck;
      break;
    case 0xF1:
    case 0xF2:
      reply = fake::Body(0x33, fake::BoardMeters(charged, counter0));
      break;
    case 0xF3:
      BoardCommand(payload);
      reply = kAck;
      break;
    case 0xF6:
    case 0xF7:
      reply = kNone;
      break;
    case 0x60:
      reply = coin.fitted ? kAck : kNone;
      break;
    case 0x61:
      reply = coin.fitted ? fake::Body(0x11, CoinItems(true)) : kNone;
      break;
    case 0x62:
      reply = coin.fitted ? fake::Body(0x33, CoinItems(false)) : kNone;
      break;
    case 0x63:
      CoinCommand(payload);
      reply = kAck;
      break;
    case 0x58:
      reply = bill.fitted ? kAck : kNone;
      break;
    case 0x59:
      reply = bill.fitted ? fake::Body(0x11, BillItems(true)) : kNone;
      break;
    case 0x5A:
      reply = bill.fitted ? fake::Body(0x33, BillItems(false)) : kNone;
      break;
    case 0x5B:
      BillCommand(payload);
      reply = kAck;
      break;
    default:
      break;  // unknown: silence
  }
  return true;
}

}  // namespace sale
