// The status exchanges with the board and the money units, the two refresh
// routines built from them, and the customer's credit.
#include "commands/commands.h"
#include "link/link.h"
#include "state/state.h"

namespace {

using Decoder = void (*)(uint32_t length, const uint8_t *data);

void IntoBoard(uint32_t n, const uint8_t *d) {
  DecodeBoardItems(&Unit.PcbRecord, n, d);
}
void IntoLiveCoin(uint32_t n, const uint8_t *d) {
  DecodeCoinItems(&Unit.LiveRecord, n, d);
}
void IntoLiveBill(uint32_t n, const uint8_t *d) {
  DecodeBillItems(&Unit.LiveRecord, n, d);
}

enum class Kind { Read, BoardPoll, UnitPoll };

// One exchange: only an accepted status is decoded; anything else, a
// failed transaction included, leaves the record as it was.
int Exchange(uint8_t command, Kind kind, Decoder decode) {
  FrameBuf reply;
  uint32_t count = 0;
  int status = Transact(command, &count, &reply);
  bool withData = false;
  switch (kind) {
    case Kind::Read:  // the reads deliver an item list after either status
      withData = status == StAck || status == StList;
      break;
    case Kind::BoardPoll:  // the board always answers its poll with a list
      withData = status == StList;
      break;
    case Kind::UnitPoll:  // StAck: the unit has nothing new to report
      if (status == StAck) return 0;
      withData = status == StItem || status == StList;
      break;
  }
  if (!withData) return -1;
  decode(count, reply);
  return 0;
}

uint32_t CoinValue(const uint8_t counts[4]) {
  return 10u * counts[0] + 50u * counts[1] + 100u * counts[2] +
         500u * counts[3];
}

// One device of a refresh: the poll, or the full read when asked for or
// when the device's last report may have been lost. A failure marks the
// device for a full read next time; a full read that succeeds settles the
// doubt.
// `recovered` receives the bit when a device in doubt was read in full.
int Step(int bit, bool full, int (*poll)(), int (*read)(), int &recovered) {
  bool doubt = (Unit.ReadInFull & bit) != 0;
  if ((full || doubt ? read() : poll()) != 0) {
    Unit.ReadInFull = static_cast<uint8_t>(Unit.ReadInFull | bit);
    return bit;
  }
  Unit.ReadInFull = static_cast<uint8_t>(Unit.ReadInFull & ~bit);
  if (doubt) recovered |= bit;
  return 0;
}

int Refresh(bool full) {
  int failed = 0;
  int fresh = 0;
  if (BillFitted())
    failed += Step(RefreshBillFailed, full, PollBill, ReadBill, fresh);
  if (CoinFitted())
    failed += Step(RefreshCoinFailed, full, PollCoin, ReadCoin, fresh);
  failed += Step(RefreshBoardFailed, false, PollBoard, ReadBoard, fresh);
  ResolvePendingFromState((fresh & RefreshCoinFailed) != 0,
                          (fresh & RefreshBillFailed) != 0);
  SyncNotesFromBoard();
  ComputeCredit();
  return -failed;
}

}  // namespace

void DoubtDevice(int failureBit) {
  Unit.ReadInFull = static_cast<uint8_t>(Unit.ReadInFull | failureBit);
}

bool CoinIdle() { return (Unit.LiveRecord.CoinFlags & CoinStopped) != 0; }
bool BillIdle() { return (Unit.LiveRecord.BillFlags & BillStopped) != 0; }

void MarkCoinPayout() {
  for (int k = 0; k < 4; ++k) {
    Unit.CoinPayoutMark[k] = Unit.LiveRecord.CoinOut[k];
    Unit.CoinPayoutMark[4 + k] = Unit.LiveRecord.CoinStock[k];
  }
}

void MarkBillPayout() {
  Unit.BillPayoutMark[0] = Unit.LiveRecord.BillOut;
  Unit.BillPayoutMark[1] = Unit.LiveRecord.BillStock;
}

// Paying moves coins out of the stock and into the out-count; acceptance is
// off while a payout is sent, so nothing else lowers the stock.
bool CoinMovedSinceMark() {
  for (int k = 0; k < 4; ++k) {
    if (Unit.CoinPayoutMark[k] != Unit.LiveRecord.CoinOut[k] ||
        Unit.CoinPayoutMark[4 + k] > Unit.LiveRecord.CoinStock[k]) {
      return true;
    }
  }
  return false;
}

bool BillMovedSinceMark() {
  return Unit.BillPayoutMark[0] != Unit.LiveRecord.BillOut ||
         Unit.BillPayoutMark[1] > Unit.LiveRecord.BillStock;
}

void ResolvePendingFromState(bool coinRead, bool billRead) {
  const TavoData &live = Unit.LiveRecord;
  // Whatever a unit reports, a payout that moved its counts has started:
  // it is no longer in doubt, only pending until the unit is done.
  if ((Unit.CoinPending & PendingUnconfirmed) && CoinMovedSinceMark())
    Unit.CoinPending &= static_cast<uint8_t>(~PendingUnconfirmed);
  if ((Unit.BillPending & PendingUnconfirmed) && BillMovedSinceMark())
    Unit.BillPending &= static_cast<uint8_t>(~PendingUnconfirmed);

  // The rest judges a unit by its whole state, so only right after a full
  // read. A unit that has stopped after a payout that moved its counts has
  // paid; one that has stopped without moving them may not have begun, and
  // its payout stays pending until it reports.
  if (coinRead && CoinIdle()) {
    if ((Unit.CoinPending & (PendingPayout | PendingUnconfirmed)) ==
            PendingPayout &&
        CoinMovedSinceMark())
      Unit.CoinPending &= static_cast<uint8_t>(~PendingPayout);
    bool closed = true;
    for (int k = 0; k < 4; ++k)
      closed = closed && !live.CoinIn[k] && !live.CoinOut[k];
    if (closed) Unit.CoinPending &= static_cast<uint8_t>(~PendingSettle);
  }
  if (billRead && BillIdle()) {
    if ((Unit.BillPending & (PendingPayout | PendingUnconfirmed)) ==
            PendingPayout &&
        BillMovedSinceMark())
      Unit.BillPending &= static_cast<uint8_t>(~PendingPayout);
    if (live.BillEscrow == 0 && live.BillOut == 0)
      Unit.BillPending &= static_cast<uint8_t>(~PendingSettle);
  }
  MirrorPendingInFlags();
}

void MirrorPendingInFlags() {
  auto mirror = [](uint32_t &flags, uint8_t pending) {
    flags = (flags & 0x00FFFFFFu) | (static_cast<uint32_t>(pending) << 24);
  };
  if (CoinFitted()) mirror(Unit.LiveRecord.CoinFlags, Unit.CoinPending);
  if (BillFitted()) mirror(Unit.LiveRecord.BillFlags, Unit.BillPending);
}

int ReadBoard() { return Exchange(CmdBoardRead, Kind::Read, IntoBoard); }
int PollBoard() { return Exchange(CmdBoardPoll, Kind::BoardPoll, IntoBoard); }
int ReadCoin() { return Exchange(CmdCoinRead, Kind::Read, IntoLiveCoin); }
int ReadBill() { return Exchange(CmdBillRead, Kind::Read, IntoLiveBill); }
int PollCoin() { return Exchange(CmdCoinPoll, Kind::UnitPoll, IntoLiveCoin); }
int PollBill() { return Exchange(CmdBillPoll, Kind::UnitPoll, IntoLiveBill); }

namespace {
bool OldCount(uint32_t c) { return c > 0 && c < 8; }
}  // namespace

uint32_t NotesCounted(uint32_t counter0) {
  return OldCount(counter0) ? counter0 : counter0 / kNoteCount;
}

bool NoteOnItsWay(uint32_t counter0) {
  uint32_t r = counter0 % kNoteCount;
  return !OldCount(counter0) && (r == 8 || r == 14);
}

uint32_t MarkStep(uint32_t counter0) {
  if (OldCount(counter0)) return 0;
  switch (counter0 % kNoteCount) {
    case 0:
      return 8;
    case 12:
      return 2;
    default:
      return 0;
  }
}

uint32_t VoidStep(uint32_t counter0) {
  return counter0 % kNoteCount == 8 ? 4 : 1;
}

uint32_t CompleteStep(uint32_t counter0) {
  return kNoteCount - counter0 % kNoteCount;
}

bool NoteMarked() { return NoteOnItsWay(Unit.PcbRecord.Meters[4]); }

void SyncNotesFromBoard() {
  uint32_t notes = NotesCounted(Unit.PcbRecord.Meters[4]);
  Unit.LiveRecord.BillStacked =
      static_cast<uint8_t>(notes > 0xFF ? 0xFF : notes);
  constexpr uint8_t kTakingIn = PendingRecheck | PendingCount;
  if (NoteMarked()) {
    Unit.BillPending |= kTakingIn;
  } else {
    Unit.BillPending &= static_cast<uint8_t>(~kTakingIn);
  }
  MirrorPendingInFlags();
}

bool CoinCountsHaveRoom() {
  for (uint8_t n : Unit.LiveRecord.CoinIn) {
    if (n >= kCoinCountCeiling) return false;
  }
  return true;
}

int RefreshStatus() { return Refresh(false); }

int RefreshUnit(int unit) {
  int fresh = 0;
  int failed = unit == RefreshCoinFailed
                   ? Step(RefreshCoinFailed, false, PollCoin, ReadCoin, fresh)
                   : Step(RefreshBillFailed, false, PollBill, ReadBill, fresh);
  ResolvePendingFromState((fresh & RefreshCoinFailed) != 0,
                          (fresh & RefreshBillFailed) != 0);
  ComputeCredit();
  return -failed;
}
int ReloadStatus() { return Refresh(true); }

// The customer's money in the trade: what went in (coins, and notes whether
// still held in escrow or already taken in), less what was paid out, less
// what the board has counted as charged. Never below 0. The record keeps 16
// bits; a larger credit is not wrapped (66500 would show as 964 and the
// customer's money vanish from the trade) but held at 65530, the largest
// amount below 65536 that coins and notes can make: the change check can
// pass it, a payout of it leaves the rest to show at the next refresh.
//
// A note being taken in is on its way between the two steps of its count
// on the board: the unit reports its escrow empty before the second step.
// While it waits for it, it still counts at 1000; otherwise the credit would
// dip by 1000 for a poll, and the acceptance control, acting on that dip,
// would switch acceptance back on at the limit.
namespace {

// What the units' counts hold for the trade: money in less money out, and
// the notes counted on the board.
int64_t CountsNet() {
  const TavoData &live = Unit.LiveRecord;
  // A note marked on its way that has left the escrow counts; while it is
  // still held it counts as the held note, once.
  uint32_t onItsWay = NoteMarked() && live.BillEscrow == 0 ? 1u : 0u;
  return CoinUnitNet() + NoteUnitNet() +
         1000 * static_cast<int64_t>(live.BillStacked + onItsWay);
}

}  // namespace

int64_t CoinUnitNet() {
  const TavoData &live = Unit.LiveRecord;
  return static_cast<int64_t>(CoinValue(live.CoinIn)) -
         static_cast<int64_t>(CoinValue(live.CoinOut));
}

int64_t NoteUnitNet() {
  const TavoData &live = Unit.LiveRecord;
  return 1000 * (static_cast<int64_t>(live.BillEscrow) - live.BillOut);
}

uint32_t ChargedAboveCounts() {
  int64_t above = static_cast<int64_t>(Unit.PcbRecord.Meters[8]) - CountsNet();
  return above > 0 ? static_cast<uint32_t>(above) : 0;
}

void ComputeCredit() {
  int64_t counted = CountsNet();
  uint32_t net = counted > 0 ? static_cast<uint32_t>(counted) : 0;
  uint32_t charged = Unit.PcbRecord.Meters[8];
  uint32_t credit = net >= charged && !Unit.TradeClosing ? net - charged : 0;
  Unit.TrueCredit = credit;
  Unit.PcbRecord.Credit =
      static_cast<uint16_t>(credit > 0xFFFFu ? kCreditHeld : credit);
}
