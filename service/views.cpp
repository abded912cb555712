#include "views.h"

#include <cstdio>
#include <span>
#include <string>

#include "answer.h"
#include "money.h"

namespace tavod {
namespace json = boost::json;
namespace {

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

}  // namespace

json::object UnitView(const PcbData &pcb, const TavoData &tavo, bool connected,
                      bool isVirtual) {
  json::object u;
  u["connected"] = connected;
  u["virtual"] = isVirtual;
  u["serial"] = Text(pcb.SerialNo, sizeof pcb.SerialNo);
  json::object board;
  board["text"] = Text(pcb.BoardText, sizeof pcb.BoardText);
  char aux[16];
  std::snprintf(aux, sizeof aux, "%06X", pcb.BoardAux & 0xFFFFFFu);
  board["firmware"] = aux;
  board["charged_in_trade"] = pcb.Meters[8];
  u["board"] = std::move(board);
  json::object coin;
  coin["fitted"] = Fitted(tavo.CoinUnitId);
  coin["flags"] = FlagNames(tavo.CoinFlags, true);
  coin["pending"] = PendingNames(tavo.CoinFlags);
  json::array in, out;
  for (int i = 0; i < 4; ++i) {
    in.emplace_back(tavo.CoinIn[i]);
    out.emplace_back(tavo.CoinOut[i]);
  }
  coin["coins_in"] = std::move(in);
  coin["coins_out"] = std::move(out);
  u["coin_unit"] = std::move(coin);
  json::object note;
  note["fitted"] = Fitted(tavo.BillUnitId);
  note["flags"] = FlagNames(tavo.BillFlags, false);
  note["pending"] = PendingNames(tavo.BillFlags);
  note["escrow"] = tavo.BillEscrow;
  note["stacked"] = tavo.BillStacked;
  note["notes_out"] = tavo.BillOut;
  u["note_unit"] = std::move(note);
  json::object stock;
  for (int i = 0; i < 4; ++i) {
    stock[std::to_string(kCoinValues[i])] = tavo.CoinStock[i];
  }
  stock["1000"] = tavo.BillStock;
  u["stock"] = std::move(stock);
  return u;
}

json::value FailureView(uint16_t code) {
  if (code == 0) return nullptr;
  json::object f;
  AddCode(f, code);
  return f;
}

json::object SaleView(const SaleRecord &r) {
  json::object o;
  o["id"] = r.id;
  o["price"] = r.price;
  o["state"] = StateName(r.state);
  o["credit"] = r.credit;
  o["inserted"] = r.inserted;
  o["charged"] = r.charged;
  o["paid"] = r.paid;
  o["cancel_requested"] = r.cancelRequested;
  o["created_ms"] = r.createdMs;
  o["updated_ms"] = r.updatedMs;
  o["frames"] = r.frames;
  o["detail"] = r.detail;
  o["last_failure"] = FailureView(r.lastCode);
  return o;
}

json::object OperationView(const Operation &o) {
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
  j["last_failure"] = FailureView(o.lastCode);
  return j;
}

json::object IncidentView(const Incident &i) {
  json::object o;
  o["id"] = i.id;
  o["sale"] = i.saleId;
  o["created_ms"] = i.createdMs;
  o["amount"] = i.amount;
  o["open"] = i.open;
  o["detail"] = i.detail;
  o["resolved_ms"] = i.resolvedMs ? json::value(i.resolvedMs) : nullptr;
  o["note"] = i.note;
  if (i.code) {
    AddCode(o, i.code);
  } else {
    o["code"] = nullptr;
  }
  return o;
}

}  // namespace tavod
