// Records the seed corpora of the fuzz targets from real sessions: sales,
// payouts and signals through the library's exports against the virtual
// unit, with every frame and reply traced. Each distinct exchange becomes a
// seed of the frame-exchange target, each item list a seed of the decoder
// target, each polled record a seed of the credit and change cases.
//
//   record_seeds OUTDIR   writes OUTDIR/items/ and OUTDIR/transact/
// (scripts/fuzz.sh record runs it into tests/fuzz/corpus).
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "seed_writer.h"
#include "tavoctl.h"
#include "tavovu.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Exchange {
  Bytes request, reply;
};
std::vector<Exchange> exchanges;
std::vector<TavoData> polled;
std::vector<uint16_t> credits;

void OnTrace(void *, const vu_trace_event *e) {
  Bytes bytes(e->bytes, e->bytes + e->length);
  if (e->direction == VU_TRACE_REQUEST) {
    exchanges.push_back(Exchange{bytes, {}});
  } else if (!exchanges.empty()) {
    Bytes &reply = exchanges.back().reply;
    reply.insert(reply.end(), bytes.begin(), bytes.end());
  }
}

uint32_t h = 0;

void Poll(int times) {
  for (int i = 0; i < times; ++i) {
    TavoData t{};
    PcbData p{};
    if (TAVO_GetTAVOData(h, &t) == 0) polled.push_back(t);
    if (TAVO_GetPCBData(h, &p) == 0) credits.push_back(p.Credit);
  }
}

void Sales() {
  vu_reset();
  vu_set_trace(OnTrace, nullptr);
  TAVO_Open(&h);
  // Coins only, change in coins.
  TAVO_TradeBegin(h);
  TAVO_Accept(h, 1000);
  for (int v : {500, 100, 100, 100, 500}) vu_insert_coin(0, v);
  Poll(2);
  TAVO_Charge(h, 1200);
  TAVO_PayBack(h);
  Poll(3);
  TAVO_TradeEnd(h);
  // Notes and coins, change in notes and coins.
  TAVO_TradeBegin(h);
  TAVO_AcceptEx(h, 5000, 3);
  vu_insert_note(0, 1000);
  Poll(4);
  vu_insert_note(0, 1000);
  Poll(4);
  for (int v : {500, 50, 10}) vu_insert_coin(0, v);
  Poll(2);
  TAVO_Charge(h, 450);
  TAVO_PayBack(h);
  Poll(3);
  TAVO_TradeEnd(h);
  // A payout of the operator's, and the signals.
  TAVO_TradeBegin(h);
  TAVO_PayOut(h, 1660);
  Poll(3);
  TAVO_TradeEnd(h);
  TAVO_7SegNum(h, 3, 1234);
  TAVO_7SegDot(h, 0x05);
  const uint8_t patterns[4] = {0x3F, 0x06, 0x5B, 0x4F};
  TAVO_7SegPtn(h, patterns);
  const uint8_t tune[3] = {0x11, 0x22, 0xFF};
  TAVO_BuzzCtrl(h, 3, tune);
  TAVO_OutputPort(h, 0x81);
  TAVO_UserCnt(h, 2, 7);
  TavoData backup{};
  TAVO_GetBackupData(h, &backup);
  TAVO_ClearBackup(h);
  TAVO_Reset(h);
  vu_set_trace(nullptr, nullptr);
}

std::string Name(const Bytes &data) {
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (uint8_t b : data) hash = (hash ^ b) * 1099511628211ull;
  char text[24];
  std::snprintf(text, sizeof text, "%016llx",
                static_cast<unsigned long long>(hash));
  return text;
}

int written = 0;
void Write(const std::string &dir, const Bytes &data) {
  std::string path = dir + "/" + Name(data);
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    return;
  }
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  ++written;
}

// The data of a reply that carries an item list, as the decoders get it
// (a single item with its length in front); empty when it carries none.
Bytes ListOf(const Bytes &reply) {
  if (reply.size() < 3) return {};
  uint8_t status = reply[0], length = reply[1];
  if (status != 0x11 && status != 0x22 && status != 0x33) return {};
  if (reply.size() != length + 3u) return {};
  Bytes list(reply.begin() + 2, reply.begin() + 2 + length);
  if (status == 0x22) list.insert(list.begin(), length);
  return list;
}

void ItemSeeds(const std::string &dir) {
  std::set<Bytes> lists;
  for (const Exchange &x : exchanges) {
    Bytes list = ListOf(x.reply);
    if (!list.empty()) lists.insert(list);
  }
  for (const Bytes &list : lists) {
    SeedWriter s;
    s.Int(0, 2);                       // the decoders
    s.Bytes(Bytes(232 + 36 + 36, 0));  // records start blank
    s.Int(0, 255);                     // coin pending
    s.Int(0, 255);                     // note pending
    s.Int(list.size(), 256);           // list length
    s.Bytes(list);
    Write(dir, s.Data());
  }
  std::set<Bytes> seen;
  for (const TavoData &t : polled) {
    SeedWriter credit;
    credit.Int(1, 2);
    for (uint8_t c : t.CoinIn) credit.Int(c, 255);
    for (uint8_t c : t.CoinOut) credit.Int(c, 255);
    for (uint8_t c : {t.BillEscrow, t.BillStacked, t.BillOut})
      credit.Int(c, 255);
    credit.Int(t.BillFlags >> 24, 255);
    credit.Int(0, 0xFFFFFFFFu);
    if (seen.insert(credit.Data()).second) Write(dir, credit.Data());
  }
  for (size_t i = 0; i < polled.size() && i < credits.size(); ++i) {
    const TavoData &t = polled[i];
    SeedWriter change;
    change.Int(2, 2);
    change.Int(t.CoinUnitId[0] | t.CoinUnitId[1], 255);  // fitted
    change.Int(t.BillUnitId[0] | t.BillUnitId[1], 255);
    for (uint8_t c : t.CoinStock) change.Int(c, 255);
    change.Int(t.BillStock, 255);
    change.Int(credits[i], 0xFFFF);
    change.Int(1, 255);  // the amount as it is
    if (seen.insert(change.Data()).second) Write(dir, change.Data());
  }
}

void TransactSeeds(const std::string &dir) {
  std::set<Bytes> seen;
  for (const Exchange &x : exchanges) {
    if (x.request.size() < 2) continue;
    uint32_t n = x.request.size() > 4 ? x.request[2] : 0;
    SeedWriter s;
    s.Int(x.request[0], 255);  // command
    s.Int(1, 7);               // a count is given
    s.Int(1, 7);               // a buffer is given
    s.Int(n, 260);             // payload length
    s.Int(0, 255);             // no driver call fails
    for (int read = 0; read < 3; ++read) {
      s.Int(1, 15);  // the read works
      s.Int(1, 15);  // and hands out what is there
    }
    if (n > 0) s.Bytes(Bytes(x.request.begin() + 3, x.request.begin() + 3 + n));
    s.Bytes(x.reply);
    if (seen.insert(s.Data()).second) Write(dir, s.Data());
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: record_seeds OUTDIR\n");
    return 2;
  }
  std::string out = argv[1];
  Sales();
  ItemSeeds(out + "/items");
  TransactSeeds(out + "/transact");
  std::printf("record_seeds: %zu exchanges, %d seeds written\n",
              exchanges.size(), written);
  return 0;
}
