// The virtual unit's insides: one Device per entry of the driver's list,
// holding the board, the coin unit, the note unit and the port state, and the
// frame handler that answers the library the way the real unit does.
#ifndef TAVOVU_MODEL_H
#define TAVOVU_MODEL_H

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "tavovu.h"

namespace vu {

// Reply statuses.
constexpr uint8_t StAck = 0x11;
constexpr uint8_t StItem = 0x22;
constexpr uint8_t StList = 0x33;
constexpr uint8_t StReset = 0xBB;
constexpr uint8_t StNone = 0xEE;
constexpr uint8_t StRefused = VU_ST_REFUSED;

constexpr int kCoinValues[4] = {10, 50, 100, 500};
constexpr int kNoteValue = 1000;
constexpr int kTubeCapacity = 99;
constexpr int kNoteCapacity = 99;

// Whether a reply status carries a length, data and check byte, as the
// library decides it: by the command of the request.
bool CarriesData(uint8_t command, uint8_t status);
// Whether the command carries a payload (kind 3: control or write).
inline bool HasPayload(uint8_t command) { return (command & 7) == 3; }

uint8_t ToBcd(int value);  // 0-99, saturating
int FromBcd(uint8_t value);

// One item of a report: tag and value bytes.
struct Item {
  uint8_t tag;
  std::vector<uint8_t> value;
};
using Items = std::vector<Item>;

// What a device last reported, by tag, so that a poll reports only changes.
struct Reported {
  std::array<std::vector<uint8_t>, 256> value;
  std::array<bool, 256> known{};
};

struct Reply {
  std::vector<uint8_t> bytes;  // empty: silence
  bool delivered = true;       // false when spoilt on purpose
};

struct CoinUnit {
  bool fitted = true;
  bool removed = false;
  bool jammed = false;
  bool accepting = false;
  uint8_t id[2] = {0x43, 0x01};
  uint32_t aux = 0x000100;
  int stock[4] = {};
  int in[4] = {};       // per trade
  int out[4] = {};      // per trade
  int payoutPolls = 0;  // polls left until the payout under way is done
  int payoutPlan[4] = {};
  uint8_t events = 0;
  Reported reported;
};

struct NoteUnit {
  bool fitted = true;
  bool removed = false;
  bool jammed = false;
  bool accepting = false;
  uint8_t id[2] = {0x4E, 0x01};
  uint16_t aux = 0x0100;
  int stock = 0;
  int escrow = 0;
  int out = 0;  // per trade
  int escrowCapacity = 1;
  int payoutPolls = 0;
  int payoutPlan = 0;
  uint8_t events = 0;
  Reported reported;
};

struct Board {
  bool started = false;
  bool restarting = false;
  uint64_t restartUntilUs = 0;
  uint8_t text[127] = {};
  uint32_t meters[15] = {};
  uint32_t aux = 0x010000;
  uint8_t clock[7] = {};
  uint8_t dots = 0;
  uint8_t digits[4] = {0x80, 0x80, 0x80, 0x80};
  uint8_t outputPort = 0;
  uint8_t buzzer[32] = {};
  int buzzerLength = 0;
  int buzzerCommands = 0;
  bool backupStored = false;
  Items backupCoin;
  Items backupNote;
  Reported reported;
};

struct Money {
  long loaded[5] = {};
  long inserted[5] = {};
  long cashbox[5] = {};
  long paid[5] = {};
  long unpaid = 0;
};

struct TimedByte {
  uint8_t byte;
  uint64_t readyUs;
};

struct FaultRule {
  vu_fault rule;
  int seen = 0;    // matching frames so far
  int struck = 0;  // frames faulted so far
};

struct ActionRule {
  vu_action rule;
  int seen = 0;
  bool done = false;
};

struct Device {
  vu_device_config config{};
  Board board;
  CoinUnit coin;
  NoteUnit note;
  Money money;
  std::vector<FaultRule> faults;
  std::vector<ActionRule> actions;
  int payoutPollsSetting = 1;

  // Port.
  bool open = false;
  uint32_t handleId = 0;
  uint32_t baud = 9600;
  uint8_t wordLength = 8, stopBits = 0, parity = 0;
  uint16_t flow = 0;
  uint32_t readTimeoutMs = 0, writeTimeoutMs = 0;
  std::vector<uint8_t> input;  // bytes written, not yet a whole frame
  std::deque<TimedByte> rx;
  uint64_t lineFreeUs = 0;  // when the unit's transmitter is free again

  uint32_t frames = 0;
  uint32_t framesByCommand[256] = {};

  // Driver calls on the handle, and the one call that is to fail once.
  uint32_t calls[32] = {};  // by the bit of its VU_CALL_* kind
  struct {
    uint32_t calls = 0;  // VU_CALL_* bits; 0: none armed
    int skip = 0;
    int mode = 0;
    uint32_t status = 0;
  } once;
};

// Builds a device from its configuration.
void InitDevice(Device &device, const vu_device_config &config);

// Answers one whole request frame (command, payload). `nowUs` is the model
// time, used for the restart.
Reply HandleFrame(Device &device, uint8_t command, const uint8_t *payload,
                  uint32_t length, uint64_t nowUs, bool timed,
                  double restartMs);

// Report builders, also used for the backup memory.
Items CoinItems(const CoinUnit &coin);
Items NoteItems(const NoteUnit &note);
Items BoardItems(const Board &board);
uint8_t CoinStatus(const CoinUnit &coin);
void NoteStatus(const NoteUnit &note, uint8_t out[3]);

// Customer and attendant actions.
int InsertCoin(Device &device, int value);
int InsertNote(Device &device, int value);
int ReturnNote(Device &device);
void PowerFail(Device &device, uint64_t nowUs, bool timed, double restartMs);
// Ends a restart that the instant model leaves open until the next open.
void FinishRestart(Device &device);

// Conservation check.
int CheckMoney(const Device &device, vu_money_report *report);

// Describes a request frame or a reply for the trace.
size_t Describe(const vu_trace_event &event, char *text, size_t size);

}  // namespace vu

#endif  // TAVOVU_MODEL_H
