// Fuzz target: whole sessions. The library's exports run against the
// virtual unit, through D2XX functions defined here that pass every call on
// to it and spoil it where the input says: a call that fails, a frame that
// never reaches the unit, a reply read short, garbled or replaced.
//
// Random exports seldom get past TAVO_Open and TAVO_TradeBegin, so an input
// first chooses one of the sale scripts below (the roads a kiosk takes, as
// recorded against the virtual unit) and then perturbs it:
//   byte 0          the script
//   byte 1          n, the number of step bytes
//   bytes 2..n+1    one per step: 0 takes the script's next step, 1-15
//                   skips it, 16-31 repeats the last step, 32 and above is
//                   a step of its own (any export with any arguments, the
//                   customer inserting money, a jam, a unit removed, a
//                   power failure); its arguments come from the bytes after
//   the rest        triples that spoil one driver call each: the step's
//                   number, the call's number within the step, and how
//                   (Fault, from the top three bits; the rest says how
//                   short, which bit, which status)
// Step bytes that run out read as 0 and every call not named works: the
// seed of a script is its number alone.
//
// After every export:
//   - the busy guard is free again;
//   - the code is one that data/result-codes.tsv lists for that export (or
//     for a shared step the export runs);
//   - the unit has a driver handle open exactly while the library has a
//     unit open;
//   - a call with a wrong handle is refused without a driver call;
//   - a payout reported done: the units received payout frames that add up
//     to the amount, and acknowledged each;
//   - a charge reported done: the board received its charge frame and
//     acknowledged it.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "api/frame.h"
#include "commands/commands.h"
#include "link/link.h"
#include "os/os.h"
#include "state/state.h"
#include "tavoctl.h"
#include "tavovu.h"

namespace {

[[noreturn]] void Fail(const std::string &what) {
  std::fprintf(stderr, "session_fuzz: %s\n", what.c_str());
  std::abort();
}

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

// Bytes of the input read one at a time; 0 once they run out.
struct Stream {
  const uint8_t *data = nullptr;
  size_t size = 0, at = 0;
  uint8_t Next() { return at < size ? data[at++] : 0; }
  uint16_t Next16() { return static_cast<uint16_t>(Next() << 8 | Next()); }
};
Stream steps;

// ------------------------------------------------------------ the driver

// What a spoilt driver call does.
enum class Fault {
  None,
  CallFails,  // the call returns FT_IO_ERROR (a read takes nothing)
  Lost,       // a write reports success but the unit never sees the frame
  Short,      // a read hands out fewer bytes than it could
  Garbled,    // a read hands out its bytes with one of them changed
  Replaced,   // a read hands out one other status byte instead
};

// The spoilt calls of the input: for each step number, which of its
// driver calls (counted from 0) and the fault byte that says how.
std::multimap<uint32_t, std::pair<uint32_t, uint8_t>> spoilt;
uint32_t stepNumber = 0;
uint32_t stepFirstCall = 0;  // driverCalls when the step began
uint32_t driverCalls = 0;
std::vector<uint32_t> writesInStep;  // which calls of a step wrote commands

// The payout frames: 63 9C 04 01 LL MM HH check (coins, the amount in BCD)
// and 5B A4 05 11 00 N0 00 00 check (notes, the count in the high nibble).
bool IsPayout(const uint8_t *f, size_t size) {
  return (size == 8 && f[0] == 0x63 && f[3] == 0x01) ||
         (size == 9 && f[0] == 0x5B && f[3] == 0x11);
}
// Whether the export has written a payout frame, and the Credit it held
// then: what TAVO_PayBack pays.
bool paying = false;
uint16_t creditPaid = 0;

// The fault byte: its top three bits the kind, the rest the detail (how
// short, which bit, which status).
uint8_t faultByte = 0;
Fault NextFault() {
  const uint32_t call = (driverCalls - 1 - stepFirstCall) % 64;
  auto range = spoilt.equal_range(stepNumber);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.first % 64 != call) continue;
    faultByte = it->second.second;
    return static_cast<Fault>(1 + (faultByte >> 5) % 5);
  }
  return Fault::None;
}

// One frame as the unit received it, and what the unit answered. The
// money oracles hold a successful export to what the unit itself saw, not
// to what reached the library: a payout whose acknowledgement was lost on
// the way back has still been made.
struct Exchange {
  std::vector<uint8_t> frame, reply;
};
std::vector<Exchange> exchanges;

void OnTrace(void *, const vu_trace_event *e) {
  std::vector<uint8_t> bytes(e->bytes, e->bytes + e->length);
  if (e->direction == VU_TRACE_REQUEST) {
    exchanges.push_back(Exchange{bytes, {}});
  } else if (!exchanges.empty()) {
    exchanges.back().reply = bytes;
  }
}

template <typename Fn>
Fn Next(const char *name) {
  void *f = dlsym(RTLD_NEXT, name);
  if (f == nullptr) Fail(std::string(name) + " not found in the virtual unit");
  return reinterpret_cast<Fn>(f);
}

#define VU(name) static const auto vu##name = Next<decltype(&::name)>(#name)

}  // namespace

extern "C" {

FT_STATUS FTAPI FT_ListDevices(void *a, void *b, DWORD flags) {
  VU(FT_ListDevices);
  ++driverCalls;
  if (NextFault() == Fault::CallFails) return FT_IO_ERROR;
  return vuFT_ListDevices(a, b, flags);
}

FT_STATUS FTAPI FT_Open(int number, FT_HANDLE *handle) {
  VU(FT_Open);
  ++driverCalls;
  if (NextFault() == Fault::CallFails) return FT_DEVICE_NOT_OPENED;
  return vuFT_Open(number, handle);
}

FT_STATUS FTAPI FT_Close(FT_HANDLE h) {
  VU(FT_Close);
  ++driverCalls;
  // A close that reports a failure has still released the handle.
  FT_STATUS s = vuFT_Close(h);
  return NextFault() == Fault::CallFails ? FT_IO_ERROR : s;
}

#define SETUP_CALL(name, ...)                              \
  VU(name);                                                \
  ++driverCalls;                                           \
  if (NextFault() == Fault::CallFails) return FT_IO_ERROR; \
  return vu##name(__VA_ARGS__)

FT_STATUS FTAPI FT_ResetDevice(FT_HANDLE h) { SETUP_CALL(FT_ResetDevice, h); }
FT_STATUS FTAPI FT_GetDeviceInfo(FT_HANDLE h, FT_DEVICE *type, DWORD *id,
                                 char *serial, char *description, void *d) {
  SETUP_CALL(FT_GetDeviceInfo, h, type, id, serial, description, d);
}
FT_STATUS FTAPI FT_SetBaudRate(FT_HANDLE h, ULONG baud) {
  SETUP_CALL(FT_SetBaudRate, h, baud);
}
FT_STATUS FTAPI FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop,
                                          UCHAR parity) {
  SETUP_CALL(FT_SetDataCharacteristics, h, bits, stop, parity);
}
FT_STATUS FTAPI FT_SetFlowControl(FT_HANDLE h, USHORT flow, UCHAR on,
                                  UCHAR off) {
  SETUP_CALL(FT_SetFlowControl, h, flow, on, off);
}
FT_STATUS FTAPI FT_SetChars(FT_HANDLE h, UCHAR a, UCHAR b, UCHAR c, UCHAR d) {
  SETUP_CALL(FT_SetChars, h, a, b, c, d);
}
FT_STATUS FTAPI FT_SetTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
  SETUP_CALL(FT_SetTimeouts, h, readMs, writeMs);
}
FT_STATUS FTAPI FT_Purge(FT_HANDLE h, ULONG mask) {
  SETUP_CALL(FT_Purge, h, mask);
}

FT_STATUS FTAPI FT_Write(FT_HANDLE h, void *buffer, DWORD size,
                         DWORD *written) {
  VU(FT_Write);
  ++driverCalls;
  Fault fault = NextFault();
  if (fault == Fault::CallFails) return FT_IO_ERROR;
  // Commands (frames with a payload), not status exchanges.
  if (size > 2) writesInStep.push_back(driverCalls - 1 - stepFirstCall);
  if (!paying && IsPayout(static_cast<const uint8_t *>(buffer), size)) {
    paying = true;
    creditPaid = Unit.PcbRecord.Credit;
  }
  if (fault == Fault::Lost) {
    if (written != nullptr) *written = size;
    return FT_OK;
  }
  return vuFT_Write(h, buffer, size, written);
}

FT_STATUS FTAPI FT_Read(FT_HANDLE h, void *buffer, DWORD size, DWORD *got) {
  VU(FT_Read);
  ++driverCalls;
  Fault fault = NextFault();
  if (got != nullptr) *got = 0;
  if (fault == Fault::CallFails) return FT_IO_ERROR;
  auto *bytes = static_cast<uint8_t *>(buffer);
  DWORD n = 0;
  FT_STATUS s = FT_OK;
  if (fault == Fault::Replaced && size > 0) {
    static const uint8_t kStatuses[8] = {0x11, 0x22, 0x33, 0xBB,
                                         0xEE, 0x55, 0x00, 0xFF};
    bytes[0] = kStatuses[faultByte & 7];
    n = 1;
  } else {
    DWORD want = size;
    if (fault == Fault::Short) want = size > 0 ? (faultByte & 7) % size : 0;
    s = vuFT_Read(h, buffer, want, &n);
    if (fault == Fault::Garbled && n > 0)
      bytes[faultByte % n] ^= static_cast<uint8_t>(1u << (faultByte & 7));
  }
  if (got != nullptr) *got = n;
  return s;
}

}  // extern "C"

namespace {

// -------------------------------------------------- the documented codes

std::map<std::string, std::set<uint32_t>> documented;

void LoadCodes() {
  std::ifstream in(TAVOCTL_RESULT_CODES);
  if (!in) Fail("cannot read " TAVOCTL_RESULT_CODES);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string code, owner;
    std::getline(fields, code, '\t');
    std::getline(fields, owner, '\t');
    documented[owner].insert(
        static_cast<uint32_t>(std::stoul(code, nullptr, 16)));
  }
  if (documented["TAVO_Charge"].empty()) Fail("no codes for TAVO_Charge");
}

// The shared steps whose codes an export passes on, as tavoctl.h lists
// them at each export.
const std::map<std::string, std::vector<std::string>> kShared = {
    {"TAVO_GetPCBData", {"acceptance control"}},
    {"TAVO_GetTAVOData", {"acceptance control", "note follow-up"}},
    {"TAVO_TradeBegin", {"acceptance control"}},
    {"TAVO_AcceptEx", {"acceptance control"}},
    {"TAVO_Charge", {"acceptance control", "note follow-up"}},
    // A held note is taken in before a payout relies on it.
    {"TAVO_PayBack", {"note follow-up"}},
    {"TAVO_PayOut", {"note follow-up"}},
};

bool Documented(const std::string &exportName, uint32_t code) {
  if (code == 0) return true;
  if (documented[exportName].count(code) != 0) return true;
  auto shared = kShared.find(exportName);
  if (shared == kShared.end()) return false;
  for (const std::string &step : shared->second) {
    if (documented[step].count(code) != 0) return true;
  }
  return false;
}

// ------------------------------------------------------------- the steps

enum class Op : uint8_t {
  Open,
  Close,
  Reset,
  ClearBackup,
  GetPCBData,
  GetTAVOData,
  GetBackupData,
  TradeBegin,
  TradeEnd,
  AcceptEx,
  Accept,
  Charge,
  PayBack,
  PayOut,
  SegDot,
  SegNum,
  SegPtn,
  Buzz,
  OutputPort,
  UserCnt,
  // the customer and the unit
  Coin,
  Note,
  Jam,
  Remove,
  PowerFail,
  kCount
};

const char *const kExportName[] = {
    "TAVO_Open",          "TAVO_Close",      "TAVO_Reset",
    "TAVO_ClearBackup",   "TAVO_GetPCBData", "TAVO_GetTAVOData",
    "TAVO_GetBackupData", "TAVO_TradeBegin", "TAVO_TradeEnd",
    "TAVO_AcceptEx",      "TAVO_AcceptEx",   "TAVO_Charge",
    "TAVO_PayBack",       "TAVO_PayOut",     "TAVO_7SegDot",
    "TAVO_7SegNum",       "TAVO_7SegPtn",    "TAVO_BuzzCtrl",
    "TAVO_OutputPort",    "TAVO_UserCnt"};

struct Step {
  Op op;
  uint32_t a = 0, b = 0;  // arguments (amount, limit, mode, coin value...)
};

using Script = std::vector<Step>;

// Polls as an application does while the customer pays or a payout runs.
void Polls(Script &s, int n) {
  for (int i = 0; i < n; ++i) s.push_back({Op::GetTAVOData});
}

std::vector<Script> Scripts() {
  std::vector<Script> all;
  {  // coins only, the change in coins
    Script s = {{Op::Open}, {Op::TradeBegin}, {Op::Accept, 1000}};
    for (uint32_t v : {500u, 100u, 100u, 100u, 500u})
      s.push_back({Op::Coin, v});
    Polls(s, 2);
    s.insert(s.end(), {{Op::Charge, 1200}, {Op::PayBack}});
    Polls(s, 3);
    s.insert(s.end(), {{Op::TradeEnd}, {Op::Close}});
    all.push_back(s);
  }
  {  // notes taken in one by one, coins, change in notes and coins
    Script s = {{Op::Open}, {Op::TradeBegin}, {Op::AcceptEx, 5000, 3}};
    s.push_back({Op::Note});
    Polls(s, 4);
    s.push_back({Op::Note});
    Polls(s, 4);
    for (uint32_t v : {500u, 50u, 10u}) s.push_back({Op::Coin, v});
    Polls(s, 2);
    s.insert(s.end(), {{Op::Charge, 450}, {Op::PayBack}});
    Polls(s, 3);
    s.insert(s.end(), {{Op::TradeEnd}, {Op::Close}});
    all.push_back(s);
  }
  {  // the third note stays held; charge all of it, nothing to pay back
    Script s = {{Op::Open}, {Op::TradeBegin}, {Op::AcceptEx, 9000, 3}};
    for (int i = 0; i < 3; ++i) {
      s.push_back({Op::Note});
      Polls(s, 3);
    }
    s.insert(s.end(), {{Op::GetPCBData}, {Op::Charge, 3000}});
    Polls(s, 2);
    s.insert(s.end(), {{Op::TradeEnd}, {Op::Close}});
    all.push_back(s);
  }
  {  // the operator pays out, between two trades
    Script s = {{Op::Open}, {Op::TradeBegin}, {Op::PayOut, 1660}};
    Polls(s, 3);
    s.insert(
        s.end(),
        {{Op::TradeEnd}, {Op::TradeBegin}, {Op::Accept, 500}, {Op::Coin, 500}});
    Polls(s, 2);
    s.insert(s.end(), {{Op::PayBack}});
    Polls(s, 3);
    s.insert(s.end(), {{Op::TradeEnd}, {Op::Close}});
    all.push_back(s);
  }
  {  // the display, the buzzer, the port, the counters, the backup, a reset
    Script s = {{Op::Open},
                {Op::SegNum, 0, 0x1A2F},
                {Op::SegNum, 1, 0xA0},
                {Op::SegNum, 2, 12345},
                {Op::SegNum, 7, 1},
                {Op::UserCnt, 3, 1},
                {Op::SegNum, 3, 1234},
                {Op::SegDot, 5},
                {Op::SegPtn},
                {Op::Buzz, 3},
                {Op::OutputPort, 0x81},
                {Op::UserCnt, 2, 7},
                {Op::GetBackupData},
                {Op::ClearBackup},
                {Op::GetPCBData},
                {Op::Reset},
                {Op::Open},
                {Op::Close}};
    all.push_back(s);
  }
  {  // a jam while the customer pays, cleared; the money paid back
    Script s = {{Op::Open},
                {Op::TradeBegin},
                {Op::Accept, 2000},
                {Op::Coin, 500},
                {Op::Coin, 100}};
    Polls(s, 1);
    s.push_back({Op::Jam, VU_COIN, 1});
    Polls(s, 2);
    s.insert(s.end(), {{Op::PayBack}, {Op::Jam, VU_COIN, 0}});
    Polls(s, 3);
    s.insert(s.end(), {{Op::PayBack}});
    Polls(s, 3);
    s.insert(s.end(), {{Op::TradeEnd}, {Op::Close}});
    all.push_back(s);
  }
  {  // a power failure in the middle of a sale; the unit opened again
    Script s = {{Op::Open},
                {Op::TradeBegin},
                {Op::Accept, 1500},
                {Op::Coin, 500},
                {Op::Note}};
    Polls(s, 3);
    s.insert(s.end(), {{Op::PowerFail},
                       {Op::GetTAVOData},
                       {Op::Close},
                       {Op::Open},
                       {Op::GetBackupData},
                       {Op::TradeBegin}});
    Polls(s, 2);
    s.insert(s.end(), {{Op::PayBack}});
    Polls(s, 3);
    s.insert(s.end(), {{Op::TradeEnd}, {Op::Close}});
    all.push_back(s);
  }
  {  // the note unit taken away during a trade
    Script s = {{Op::Open},
                {Op::TradeBegin},
                {Op::AcceptEx, 3000, 2},
                {Op::Coin, 500},
                {Op::Note}};
    Polls(s, 2);
    s.push_back({Op::Remove, VU_NOTE, 1});
    Polls(s, 2);
    s.insert(s.end(), {{Op::Charge, 300}, {Op::PayBack}});
    Polls(s, 3);
    s.insert(s.end(), {{Op::TradeEnd}, {Op::Close}});
    all.push_back(s);
  }
  return all;
}

// A step of its own, from a step byte of 32 or above and the bytes after.
Step FreeStep(uint8_t b) {
  Step s{static_cast<Op>((b - 32) % static_cast<int>(Op::kCount))};
  switch (s.op) {
    case Op::AcceptEx:
      s.a = steps.Next16();
      s.b = steps.Next();
      break;
    case Op::Accept:
    case Op::Charge:
    case Op::PayOut:
      // Mostly whole amounts of 10; now and then any 32 bits.
      s.a = steps.Next() < 0xF0
                ? 10u * (steps.Next16() % 3000u)
                : static_cast<uint32_t>(steps.Next16()) << 16 | steps.Next16();
      break;
    case Op::SegNum:
    case Op::UserCnt:
      s.a = steps.Next();
      s.b = steps.Next16();
      break;
    case Op::SegDot:
    case Op::Buzz:
    case Op::OutputPort:
      s.a = steps.Next();
      break;
    case Op::Coin: {
      static const uint32_t kCoins[4] = {10, 50, 100, 500};
      s.a = kCoins[steps.Next() & 3];
      break;
    }
    case Op::Jam:
    case Op::Remove:
      s.a = steps.Next() & 1;
      s.b = steps.Next() & 1;
      break;
    default:
      break;
  }
  return s;
}

// ------------------------------------------------------------ the oracles

uint32_t handle = 0;

struct Payout {
  uint32_t coins = 0, notes = 0;
  bool allAcknowledged = true;
};

bool Acknowledged(const Exchange &x) {
  return !x.reply.empty() && x.reply[0] == StAck;
}
uint8_t Bcd(uint8_t b) {
  return static_cast<uint8_t>((b >> 4) * 10 + (b & 15));
}

// The payout frames that reached the units during an export.
Payout PayoutsSent(size_t from) {
  Payout p;
  for (size_t i = from; i < exchanges.size(); ++i) {
    const std::vector<uint8_t> &f = exchanges[i].frame;
    if (!IsPayout(f.data(), f.size())) continue;
    bool coin = f[0] == CmdCoinCtrl;
    bool note = !coin;
    if (!Acknowledged(exchanges[i])) p.allAcknowledged = false;
    if (coin) p.coins += Bcd(f[4]) + 100u * Bcd(f[5]) + 10000u * f[6];
    if (note) p.notes += f[5] >> 4;
  }
  return p;
}

// The charge frame of an export: F3 0C 03 72 (80 | high bits) low check.
bool ChargeSent(size_t from, uint32_t price) {
  for (size_t i = from; i < exchanges.size(); ++i) {
    const std::vector<uint8_t> &f = exchanges[i].frame;
    if (f.size() == 7 && f[0] == CmdBoardWrite && f[3] == SubCounter &&
        (f[4] & 0x80) != 0 && Acknowledged(exchanges[i]) &&
        (((f[4] & 0x7Fu) << 8) | f[5]) == price) {
      return true;
    }
  }
  return false;
}

void CheckAfter(const Step &s, uint32_t code, size_t from, uint16_t credit) {
  const std::string name = kExportName[static_cast<int>(s.op)];
  if (ApiBusy.load() != 0) Fail(name + " left the busy guard set");
  if (!Documented(name, code))
    Fail(name + " returned " + Hex(code) + ", a code it does not document");

  vu_state unit{};
  vu_get_state(0, &unit);
  if ((unit.open != 0) != (Unit.DeviceHandle != 0))
    Fail(name + ": the unit " + (unit.open ? "has" : "has no") +
         " driver handle open, the library " +
         (Unit.DeviceHandle != 0 ? "has a unit open" : "has none"));

  // Another handle than the open unit's is refused, and nothing is sent.
  uint32_t calls = driverCalls;
  TavoData t;
  uint32_t refused = TAVO_GetBackupData(Unit.DeviceHandle + 0x10001u, &t);
  uint32_t want = Unit.DeviceHandle != 0 ? 0x0702u : 0x0701u;
  if (refused != want || driverCalls != calls)
    Fail("a wrong handle after " + name + " gave " + Hex(refused));

  if (code != 0) return;
  if (s.op == Op::PayBack || s.op == Op::PayOut) {
    Payout p = PayoutsSent(from);
    uint32_t amount = s.op == Op::PayOut ? (s.a & 0xFFFFu) : credit;
    if (!p.allAcknowledged)
      Fail(name + " succeeded with a payout unacknowledged");
    if (p.coins + 1000u * p.notes != amount)
      Fail(name + " succeeded paying " + std::to_string(amount) + " but sent " +
           std::to_string(p.coins) + " in coins and " +
           std::to_string(p.notes) + " notes");
  }
  if (s.op == Op::Charge && !ChargeSent(from, s.a & 0xFFFFu))
    Fail(
        "TAVO_Charge succeeded without a charge frame the board acknowledged "
        "of " +
        std::to_string(s.a & 0xFFFFu));
}

// ------------------------------------------------------------- a session

void Run(const Step &s) {
  static const uint8_t kPattern[4] = {0x3F, 0x06, 0x5B, 0x4F};
  static const uint8_t kTune[4] = {0x11, 0x22, 0x33, 0xFF};
  PcbData pcb;
  TavoData tavo;
  size_t from = exchanges.size();
  paying = false;
  uint32_t code = 0;
  switch (s.op) {
    case Op::Open: {
      uint32_t h = 0;
      code = TAVO_Open(&h);
      if (code == 0 || code == 0x0119) handle = h;
      break;
    }
    case Op::Close:
      code = TAVO_Close(handle);
      break;
    case Op::Reset:
      code = TAVO_Reset(handle);
      break;
    case Op::ClearBackup:
      code = TAVO_ClearBackup(handle);
      break;
    case Op::GetPCBData:
      code = TAVO_GetPCBData(handle, &pcb);
      break;
    case Op::GetTAVOData:
      code = TAVO_GetTAVOData(handle, &tavo);
      break;
    case Op::GetBackupData:
      code = TAVO_GetBackupData(handle, &tavo);
      break;
    case Op::TradeBegin:
      code = TAVO_TradeBegin(handle);
      break;
    case Op::TradeEnd:
      code = TAVO_TradeEnd(handle);
      break;
    case Op::AcceptEx:
      code = TAVO_AcceptEx(handle, s.a, s.b);
      break;
    case Op::Accept:
      code = TAVO_Accept(handle, s.a);
      break;
    case Op::Charge:
      code = TAVO_Charge(handle, s.a);
      break;
    case Op::PayBack:
      code = TAVO_PayBack(handle);
      break;
    case Op::PayOut:
      code = TAVO_PayOut(handle, s.a);
      break;
    case Op::SegDot:
      code = TAVO_7SegDot(handle, s.a);
      break;
    case Op::SegNum:
      code = TAVO_7SegNum(handle, s.a, s.b);
      break;
    case Op::SegPtn:
      code = TAVO_7SegPtn(handle, kPattern);
      break;
    case Op::Buzz:
      code = TAVO_BuzzCtrl(handle, s.a, kTune);
      break;
    case Op::OutputPort:
      code = TAVO_OutputPort(handle, s.a);
      break;
    case Op::UserCnt:
      code = TAVO_UserCnt(handle, s.a, s.b);
      break;
    case Op::Coin:
      vu_insert_coin(0, static_cast<int>(s.a));
      return;
    case Op::Note:
      vu_insert_note(0, 1000);
      return;
    case Op::Jam:
      vu_jam(0, static_cast<int>(s.a), static_cast<int>(s.b));
      return;
    case Op::Remove:
      vu_remove_unit(0, static_cast<int>(s.a), static_cast<int>(s.b));
      return;
    case Op::PowerFail:
      vu_power_fail(0);
      return;
    case Op::kCount:
      return;
  }
  // TAVOCTL_FUZZ_TRACE=1 tells each export and its code (to follow a
  // failing input step by step).
  static const bool trace = std::getenv("TAVOCTL_FUZZ_TRACE") != nullptr;
  if (trace) {
    std::fprintf(stderr, "%s(%u, %u) -> %s, credit %u\n",
                 kExportName[static_cast<int>(s.op)], s.a, s.b,
                 Hex(code).c_str(), Unit.PcbRecord.Credit);
  }
  // What a payback paid: the Credit when it sent its first payout frame; a
  // payback that sent none paid nothing, and leaves Credit at 0.
  CheckAfter(s, code, from, paying ? creditPaid : Unit.PcbRecord.Credit);
}

// What each step of the last session did: its operation and the numbers
// of its driver calls that wrote a command.
std::vector<std::pair<Op, std::vector<uint32_t>>> stepLog;

const std::vector<Script> &AllScripts() {
  static const std::vector<Script> all = Scripts();
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void WriteSeed(const std::string &dir, const std::vector<uint8_t> &seed) {
  std::string name = dir + "/script";
  for (uint8_t b : seed) name += "-" + std::to_string(b);
  FILE *f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) Fail("cannot write " + name);
  std::fwrite(seed.data(), 1, seed.size(), f);
  std::fclose(f);
}

// The seeds: each script as it is, and with each command of its trade and
// money exports (counters, charges, payouts, settles, acceptance) lost on
// the way to the unit, or its acknowledgement spoilt (a refused status
// instead): the moments when money may or may not have moved.
void WriteSeeds(const std::string &dir) {
  static const std::set<Op> kMoney = {
      Op::TradeBegin, Op::TradeEnd, Op::AcceptEx, Op::Accept,
      Op::Charge,     Op::PayBack,  Op::PayOut};
  // Opening fails at each of its driver calls in turn (the signals script).
  for (uint8_t call = 0; call < 64; call += 2)
    WriteSeed(dir, {4, 0, 0, call, 0});
  for (uint8_t k = 0; k < AllScripts().size(); ++k) {
    WriteSeed(dir, {k});
    LLVMFuzzerTestOneInput(&k, 1);
    const auto log = stepLog;
    for (size_t i = 0; i < log.size() && i < 256; ++i) {
      if (kMoney.count(log[i].first) == 0 || log[i].second.empty()) continue;
      const uint8_t step = static_cast<uint8_t>(i);
      for (uint32_t call : log[i].second) {
        const uint8_t write = static_cast<uint8_t>(call);
        WriteSeed(dir, {k, 0, step, write, 0x20});  // lost
        WriteSeed(dir, {k, 0, step, static_cast<uint8_t>(write + 1), 0x85});
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  LoadCodes();
  OsSetHooks([](uint32_t) {},
             [](LocalTime *t) { *t = LocalTime{2026, 12, 8, 10, 30, 0}; });
  // TAVOCTL_FUZZ_SEEDS=DIR writes the seed corpus into DIR and stops.
  if (const char *dir = std::getenv("TAVOCTL_FUZZ_SEEDS")) {
    WriteSeeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const Script &script =
      AllScripts()[size > 0 ? data[0] % AllScripts().size() : 0];
  const size_t body = size > 2 ? size - 2 : 0;
  size_t n = size > 1 ? data[1] : 0;
  if (n > body) n = body;
  steps = Stream{size > 2 ? data + 2 : nullptr, n, 0};
  spoilt.clear();
  for (size_t at = 2 + n; at + 3 <= size; at += 3)
    spoilt.insert({data[at], {data[at + 1], data[at + 2]}});

  vu_reset();
  vu_set_trace(OnTrace, nullptr);
  exchanges.clear();
  stepLog.clear();
  driverCalls = 0;
  stepNumber = 0;
  handle = 0;

  size_t next = 0;
  Step last{Op::GetTAVOData};
  for (int count = 0; count < 80; ++count) {
    bool stepsLeft = steps.at < steps.size;
    uint8_t b = steps.Next();
    Step s;
    if (b >= 32) {
      s = FreeStep(b);
    } else if (b >= 16) {
      s = last;
    } else {
      if (next >= script.size()) {
        if (!stepsLeft) break;
        continue;
      }
      s = script[next++];
      if (b != 0) continue;  // skipped
    }
    stepFirstCall = driverCalls;
    writesInStep.clear();
    Run(s);
    stepLog.push_back({s.op, writesInStep});
    ++stepNumber;
    last = s;
  }
  // Whatever the session left open is closed, as an application would.
  if (Unit.DeviceHandle != 0) TAVO_Close(Unit.DeviceHandle);
  return 0;
}
