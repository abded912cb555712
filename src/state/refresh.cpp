// The status exchanges with the board and the money units, the two refresh
// routines built from them, and the customer's credit.
#include "commands/commands.h"
#include "link/link.h"
#include "state/state.h"

namespace {

using Decoder = void (*)(uint32_t length, const uint8_t *data);

void IntoBoard(uint32_t n, const uint8_t *d) {
  DecodeBoardItems(&PcbRecord, n, d);
}
void IntoLiveCoin(uint32_t n, const uint8_t *d) {
  DecodeCoinItems(&LiveRecord, n, d);
}
void IntoLiveBill(uint32_t n, const uint8_t *d) {
  DecodeBillItems(&LiveRecord, n, d);
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

int Refresh(int (*bill)(), int (*coin)()) {
  int failed = 0;
  if (BillFitted() && bill() != 0) failed += RefreshBillFailed;
  if (CoinFitted() && coin() != 0) failed += RefreshCoinFailed;
  if (PollBoard() != 0) failed += RefreshBoardFailed;
  ComputeCredit();
  return -failed;
}

}  // namespace

int ReadBoard() { return Exchange(CmdBoardRead, Kind::Read, IntoBoard); }
int PollBoard() { return Exchange(CmdBoardPoll, Kind::BoardPoll, IntoBoard); }
int ReadCoin() { return Exchange(CmdCoinRead, Kind::Read, IntoLiveCoin); }
int ReadBill() { return Exchange(CmdBillRead, Kind::Read, IntoLiveBill); }
int PollCoin() { return Exchange(CmdCoinPoll, Kind::UnitPoll, IntoLiveCoin); }
int PollBill() { return Exchange(CmdBillPoll, Kind::UnitPoll, IntoLiveBill); }

int RefreshStatus() { return Refresh(PollBill, PollCoin); }
int ReloadStatus() { return Refresh(ReadBill, ReadCoin); }

// The customer's money in the trade: what went in (coins, and notes whether
// still held in escrow or already taken in), less what was paid out, less
// what the board has counted as charged. Never below 0. The record keeps 16
// bits; a larger credit is not wrapped (66500 would show as 964 and the
// customer's money vanish from the trade) but held at 65530, the largest
// amount below 65536 that coins and notes can make: the change check can
// pass it, a payout of it leaves the rest to show at the next refresh.
//
// A note being taken in is on its way between the two counts: the unit
// reports its escrow empty before the note follow-up has counted it into
// BillStacked. While it waits to be counted it still counts at 1000;
// otherwise the credit would dip by 1000 for a poll, and the acceptance
// control, acting on that dip, would switch acceptance back on at the limit.
void ComputeCredit() {
  const TavoData &live = LiveRecord;
  uint32_t inTransit =
      (BillPending & PendingCount) != 0 && live.BillEscrow == 0 ? 1u : 0u;
  uint32_t in = CoinValue(live.CoinIn) + 1000u * live.BillEscrow +
                1000u * live.BillStacked + 1000u * inTransit;
  uint32_t out = CoinValue(live.CoinOut) + 1000u * live.BillOut;
  uint32_t net = out <= in ? in - out : 0;
  uint32_t charged = PcbRecord.Meters[8];
  uint32_t credit = net >= charged ? net - charged : 0;
  PcbRecord.Credit =
      static_cast<uint16_t>(credit > 0xFFFFu ? kCreditHeld : credit);
}
