// Fuzz target: the item decoders, the credit computation and the change
// check, each against a reference written from the unit's documented
// formats rather than from the library's code.
//
//  - Decoders: one item list (at most 256 bytes, as a reply delivers it) is
//    decoded by all three decoders into records that start from bytes of
//    the input. The reference splits the list into entries first and then
//    writes each value into a raw image of the record at its documented
//    offset and byte order; the two records and the pending bytes must be
//    equal byte for byte. The list sits in a buffer of exactly its length,
//    so a read past it is an AddressSanitizer report.
//  - Credit: counts, pending bits and the charged meter from the input; the
//    credit must be what the money taken in, paid out and charged make.
//  - Change: a stock and an amount from the input; the library's check
//    must say "payable" exactly when some choice of at most nine notes and
//    the coins in stock adds up to the amount. The reference enumerates the
//    sums of every part of the stock, one note or coin at a time.
#include <fuzzer/FuzzedDataProvider.h>

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "state/state.h"
#include "trade/trade.h"

namespace {

[[noreturn]] void Fail(const char *what) {
  std::fprintf(stderr, "items_fuzz: %s\n", what);
  std::abort();
}

void Expect(bool ok, const char *what) {
  if (!ok) Fail(what);
}

// ------------------------------------------------------------ reference

// The pending bits a unit's payout report clears: every bit the payout set
// (a payout whose acknowledgement was lost is also marked unconfirmed).
constexpr uint8_t kPayoutBits = TAVO_PENDING_PAYOUT | TAVO_PENDING_UNCONFIRMED;

uint8_t Bcd(uint8_t b) {
  return static_cast<uint8_t>((b >> 4) * 10 + (b & 15));
}

void Put32(uint8_t *image, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    image[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t *image, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | image[at + i];
  return v;
}

struct Entry {
  uint8_t tag;
  const uint8_t *value;
  size_t room;  // bytes of the list from the value on
};

// The complete entries of a list. A last entry that runs past the list is
// not one; an entry with length 0 has no tag.
std::vector<Entry> Entries(const uint8_t *list, size_t n) {
  std::vector<Entry> out;
  size_t p = 0;
  while (p < n) {
    size_t length = list[p];
    if (p + 1 + length > n) break;
    if (length >= 1) out.push_back(Entry{list[p + 1], list + p + 2, n - p - 2});
    p += 1 + length;
  }
  return out;
}

// PcbData image: text at 16 (127 bytes, 0 at 143), meters at 144 (15 x 4,
// little-endian in the record, big-endian on the wire), aux at 204, the
// two blocks at 216 and 223.
void RefBoard(uint8_t *image, const uint8_t *list, size_t n) {
  for (const Entry &e : Entries(list, n)) {
    const uint8_t *v = e.value;
    switch (e.tag) {
      case 0x79:
        if (e.room >= 3) Put32(image, 204, (v[0] << 16) | (v[1] << 8) | v[2]);
        break;
      case 0x7A:
        if (e.room >= 60) {
          for (size_t i = 0; i < 15; ++i) {
            const uint8_t *m = v + 4 * i;
            Put32(image, 144 + 4 * i,
                  (uint32_t{m[0]} << 24) | (m[1] << 16) | (m[2] << 8) | m[3]);
          }
        }
        break;
      case 0x7B:
        if (e.room >= 14) std::memcpy(image + 216, v, 14);
        break;
      case 0x7D:
        if (e.room >= 127) {
          std::memcpy(image + 16, v, 127);
          image[143] = 0;
        }
        break;
      default:
        break;
    }
  }
}

// TavoData image, coin side: in at 0, stock at 4, out at 8 (BCD counts),
// flags at 12, aux at 16 (24 bits, little-endian), unit id at 20.
void RefCoin(uint8_t *image, uint8_t &pending, const uint8_t *list, size_t n) {
  for (const Entry &e : Entries(list, n)) {
    const uint8_t *v = e.value;
    switch (e.tag) {
      case 0x08:
      case 0x09:
      case 0x0A:
        if (e.room >= 4) {
          size_t at = 4u * (e.tag - 0x08u);
          for (size_t k = 0; k < 4; ++k) image[at + k] = Bcd(v[k]);
        }
        break;
      case 0x0B:
        if (e.room >= 1) {
          if (v[0] & 0x20) pending &= 0xFE;                 // settle reported
          if (v[0] & 0x10) pending &= ~kPayoutBits & 0xFF;  // payout done
          uint32_t latched = Get32(image, 12) & 0x08;
          Put32(image, 12, v[0] | latched | (uint32_t{pending} << 24));
        }
        break;
      case 0x0C:
        if (e.room >= 3) Put32(image, 16, v[0] | (v[1] << 8) | (v[2] << 16));
        break;
      case 0x0D:
        if (e.room >= 2) {
          image[20] = v[0];
          image[21] = v[1];
        }
        break;
      default:
        break;
    }
  }
}

// TavoData image, note side: escrow 22, stock 24, out 25 (BCD), unit id 26,
// flags 28 (three status bytes, pending byte on top), aux 32 (16 bits).
void RefBill(uint8_t *image, uint8_t &pending, const uint8_t *list, size_t n) {
  for (const Entry &e : Entries(list, n)) {
    const uint8_t *v = e.value;
    switch (e.tag) {
      case 0x18:
        if (e.room >= 1) image[22] = Bcd(v[0]);
        break;
      case 0x19:
        if (e.room >= 1) image[24] = Bcd(v[0]);
        break;
      case 0x1A:
        if (e.room >= 1) image[25] = Bcd(v[0]);
        break;
      case 0x1B:
        if (e.room >= 3) {
          if (v[0] & 0x10) pending &= 0xFE;
          if (v[0] & 0x08) pending &= ~kPayoutBits & 0xFF;
          Put32(image, 28,
                v[0] | (v[1] << 8) | (v[2] << 16) | (uint32_t{pending} << 24));
        }
        break;
      case 0x1C:
        if (e.room >= 2) Put32(image, 32, v[0] | (v[1] << 8));
        break;
      case 0x1D:
        if (e.room >= 2) {
          image[26] = v[0];
          image[27] = v[1];
        }
        break;
      default:
        break;
    }
  }
}

// ------------------------------------------------------------- the cases

template <typename Record>
void Fill(FuzzedDataProvider &in, Record &record) {
  std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(sizeof(Record));
  bytes.resize(sizeof(Record));
  std::memcpy(&record, bytes.data(), sizeof(Record));
}

void Decoders(FuzzedDataProvider &in) {
  PcbData board;
  TavoData coin, bill;
  Fill(in, board);
  Fill(in, coin);
  Fill(in, bill);
  uint8_t coinPending = in.ConsumeIntegral<uint8_t>();
  uint8_t billPending = in.ConsumeIntegral<uint8_t>();
  std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(
      in.ConsumeIntegralInRange<size_t>(0, kFrameSize));
  // Exactly the list's length: a read beyond it is caught.
  std::unique_ptr<uint8_t[]> list(new uint8_t[bytes.size()]);
  if (!bytes.empty()) std::memcpy(list.get(), bytes.data(), bytes.size());
  const uint32_t n = static_cast<uint32_t>(bytes.size());

  uint8_t boardImage[sizeof(PcbData)], coinImage[sizeof(TavoData)],
      billImage[sizeof(TavoData)];
  std::memcpy(boardImage, &board, sizeof board);
  std::memcpy(coinImage, &coin, sizeof coin);
  std::memcpy(billImage, &bill, sizeof bill);
  uint8_t refCoinPending = coinPending, refBillPending = billPending;
  RefBoard(boardImage, list.get(), n);
  RefCoin(coinImage, refCoinPending, list.get(), n);
  RefBill(billImage, refBillPending, list.get(), n);

  Unit.CoinPending = coinPending;
  DecodeBoardItems(&board, n, list.get());
  DecodeCoinItems(&coin, n, list.get());
  Expect(Unit.CoinPending == refCoinPending, "coin pending byte");
  Expect((Unit.CoinPending & ~coinPending) == 0,
         "a decoder set a coin pending bit");
  Unit.BillPending = billPending;
  DecodeBillItems(&bill, n, list.get());
  Expect(Unit.BillPending == refBillPending, "note pending byte");
  Expect((Unit.BillPending & ~billPending) == 0,
         "a decoder set a note pending bit");

  Expect(std::memcmp(&board, boardImage, sizeof board) == 0, "board record");
  Expect(std::memcmp(&coin, coinImage, sizeof coin) == 0, "coin items");
  Expect(std::memcmp(&bill, billImage, sizeof bill) == 0, "note items");
}

void Credit(FuzzedDataProvider &in) {
  Unit = UnitState{};
  TavoData &t = Unit.LiveRecord;
  for (uint8_t &c : t.CoinIn) c = in.ConsumeIntegral<uint8_t>();
  for (uint8_t &c : t.CoinOut) c = in.ConsumeIntegral<uint8_t>();
  t.BillEscrow = in.ConsumeIntegral<uint8_t>();
  t.BillStacked = in.ConsumeIntegral<uint8_t>();
  t.BillOut = in.ConsumeIntegral<uint8_t>();
  Unit.BillPending = in.ConsumeIntegral<uint8_t>();
  Unit.PcbRecord.Meters[4] = in.ConsumeIntegral<uint8_t>();
  Unit.PcbRecord.Meters[8] = in.ConsumeIntegral<uint32_t>();
  ComputeCredit();

  const uint64_t coin[4] = {10, 50, 100, 500};
  uint64_t taken = 1000u * (t.BillEscrow + t.BillStacked);
  uint64_t paid = 1000u * t.BillOut;
  for (int k = 0; k < 4; ++k) {
    taken += coin[k] * t.CoinIn[k];
    paid += coin[k] * t.CoinOut[k];
  }
  // A note on its way from the escrow to the count is still the customer's:
  // counter 0 counts 16 to a note, and a remainder of 8 or 14 marks one on
  // its way (a count of 1 to 7 is one per note, none on its way).
  uint32_t m = Unit.PcbRecord.Meters[4];
  bool onItsWay = !(m > 0 && m < 8) && (m % 16 == 8 || m % 16 == 14);
  if (onItsWay && t.BillEscrow == 0) taken += 1000;
  uint64_t net = paid <= taken ? taken - paid : 0;
  uint64_t charged = Unit.PcbRecord.Meters[8];
  uint64_t owed = net >= charged ? net - charged : 0;
  // More than 16 bits hold is shown as 65530, an amount the stock can pay.
  uint64_t shown = owed > 0xFFFF ? kCreditHeld : owed;
  Expect(Unit.PcbRecord.Credit == shown, "credit");
}

void Change(FuzzedDataProvider &in) {
  Unit = UnitState{};
  TavoData &t = Unit.LiveRecord;
  // Only fitted units pay: a unit is fitted while either of its id bytes is
  // not 0.
  const bool coinFitted = in.ConsumeIntegral<uint8_t>() != 0;
  const bool billFitted = in.ConsumeIntegral<uint8_t>() != 0;
  t.CoinUnitId[1] = coinFitted ? 1 : 0;
  t.BillUnitId[1] = billFitted ? 1 : 0;
  for (uint8_t &c : t.CoinStock) c = in.ConsumeIntegral<uint8_t>();
  t.BillStock = in.ConsumeIntegral<uint8_t>();
  // Amounts that are not a multiple of 10 can never be paid: keep most of
  // the runs on the ones that can.
  uint16_t raw = in.ConsumeIntegral<uint16_t>();
  uint32_t amount = in.ConsumeBool() ? raw : (raw % 6554u) * 10u;

  // Every sum that some part of the stock makes: at most nine notes (one
  // payout command carries one digit of count) and every coin in stock, of
  // the units that are fitted.
  // Adding c pieces of one value one at a time, or in bundles of 1, 2, 4...
  // and the rest, reaches the same sums (any count from 0 to c is a sum of
  // some of the bundles); the bundles keep a run fast.
  std::bitset<0x10000> sums;
  sums.set(0);
  auto add = [&sums](uint32_t value, uint32_t pieces) {
    for (uint32_t bundle = 1; pieces > 0; bundle *= 2) {
      uint32_t take = bundle < pieces ? bundle : pieces;
      sums |= sums << (value * take);
      pieces -= take;
    }
  };
  if (billFitted) add(1000, t.BillStock < 9 ? t.BillStock : 9);
  const uint32_t coin[4] = {10, 50, 100, 500};
  for (int k = 0; coinFitted && k < 4; ++k) add(coin[k], t.CoinStock[k]);
  bool payable = sums.test(amount);
  // The coin unit picks the coins itself, the largest first as far as its
  // stock goes, and counts at most 99 of a kind in a trade: an amount whose
  // coins it would pick beyond that is not paid, whatever else could pay it.
  if (payable && coinFitted) {
    uint32_t notes = billFitted ? amount / 1000 : 0;
    if (notes > t.BillStock) notes = t.BillStock;
    if (notes > 9) notes = 9;
    uint32_t rest = amount - 1000 * notes;
    for (int k = 3; k >= 0; --k) {
      uint32_t take = rest / coin[k];
      if (take > t.CoinStock[k]) take = t.CoinStock[k];
      if (take > 99) payable = false;
      rest -= take * coin[k];
    }
  }
  if (ChangePayable(amount) != payable) {
    std::fprintf(stderr,
                 "amount %u, notes %u, coins %u %u %u %u: reference says %s\n",
                 amount, t.BillStock, t.CoinStock[0], t.CoinStock[1],
                 t.CoinStock[2], t.CoinStock[3], payable ? "payable" : "not");
    Fail("change check");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      Decoders(in);
      break;
    case 1:
      Credit(in);
      break;
    default:
      Change(in);
      break;
  }
  return 0;
}
