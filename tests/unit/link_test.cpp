// The link to the unit: the framed exchange (Transact) and the device search
// with its port setup, against the scripted D2XX device.
#include "link/link.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "fake_d2xx.h"
#include "library_state.h"

namespace {

using fake::Body;
using fake::Bytes;
using fake::Concat;
using fake::D2xx;
using fake::Fn;
using fake::Status;

// A frame buffer on the heap with nothing around it, so that AddressSanitizer
// reports any byte written or read past its 256 bytes.
struct HeapFrame {
  FrameBuf bytes;
};

Bytes Filled(size_t n, uint8_t value) { return Bytes(n, value); }

Bytes Prefix(const FrameBuf &buffer, size_t n) {
  return Bytes(buffer, buffer + n);
}

std::vector<Fn> CallKinds() {
  std::vector<Fn> kinds;
  for (const fake::Call &c : D2xx::Get().calls) kinds.push_back(c.fn);
  return kinds;
}

using TransactTest = fake::PortTest;

// ------------------------------------------------------------ requests

struct FramingCase {
  const char *name;
  uint8_t command;
  bool giveCount;
  bool giveBuffer;
  Bytes payload;  // placed in the buffer; count = its size when given
  Bytes wire;     // the frame written
};

const FramingCase kFramingCases[] = {
    {"no count, no buffer", 0xF0, false, false, {}, {0xF0, 0x0F}},
    {"count 0 with a buffer", 0xF1, true, true, {}, {0xF1, 0x0E}},
    {"board write 70 80",
     0xF3,
     true,
     true,
     {0x70, 0x80},
     {0xF3, 0x0C, 0x02, 0x70, 0x80, 0xF2}},
    {"coin control 00 01",
     0x63,
     true,
     true,
     {0x00, 0x01},
     {0x63, 0x9C, 0x02, 0x00, 0x01, 0x03}},
    {"one payload byte",
     0xF3,
     true,
     true,
     {0x71},
     {0xF3, 0x0C, 0x01, 0x71, 0x70}},
    {"count without a buffer", 0xF3, true, false, {0x70, 0x80}, {0xF3, 0x0C}},
    {"buffer without a count", 0xF3, false, true, {0x70, 0x80}, {0xF3, 0x0C}},
    {"longest payload, 251 bytes", 0xF3, true, true, Filled(251, 0xFF),
     Concat({{0xF3, 0x0C, 0xFB}, Filled(251, 0xFF), {0x04}})},
};

TEST_F(TransactTest, BuildsTheRequestFrame) {
  for (const FramingCase &c : kFramingCases) {
    SCOPED_TRACE(c.name);
    fake::ResetLibrary();
    fake::PretendPortOpen();
    d.Standing(c.command, Status(0x11));
    auto buffer = std::make_unique<HeapFrame>();
    std::copy(c.payload.begin(), c.payload.end(), buffer->bytes);
    uint32_t count = static_cast<uint32_t>(c.payload.size());
    Transact(c.command, c.giveCount ? &count : nullptr,
             c.giveBuffer ? &buffer->bytes : nullptr);
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0], c.wire);
    ASSERT_EQ(d.CallsOf(Fn::Write).size(), 1u);
    EXPECT_EQ(d.CallsOf(Fn::Write)[0].args.at(0), c.wire.size());
  }
}

TEST_F(TransactTest, PurgesOnceWritesOnceThenReadsStatusLengthAndBody) {
  d.Standing(0xF1, Body(0x33, {0x04, 0x79, 0x01, 0x02, 0x03}));
  FrameBuf buffer;
  uint32_t count = 0;
  EXPECT_EQ(Transact(0xF1, &count, &buffer), 0x33);
  EXPECT_EQ(CallKinds(), (std::vector<Fn>{Fn::Purge, Fn::Write, Fn::Read,
                                          Fn::Read, Fn::Read}));
  EXPECT_EQ(d.CallsOf(Fn::Purge)[0].args, (std::vector<uint64_t>{3}));
  EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1, 1, 6}));
  for (const fake::Call &c : d.calls)
    EXPECT_EQ(c.device, 0) << fake::Name(c.fn);
}

TEST_F(TransactTest, AnAbandonedReplyNeverReachesTheNextExchange) {
  // The board answers its hello with a status and then keeps talking; the
  // stray bytes wait in the queue until the next exchange purges them.
  d.Queue(0xF0, Concat({Status(0x11), Body(0x33, {0x02, 0x0B, 0x30})}));
  EXPECT_EQ(Transact(0xF0, nullptr, nullptr), 0x11);
  EXPECT_FALSE(d.rx.empty());
  d.Queue(0x62, Status(0x11));
  EXPECT_EQ(Transact(0x62, nullptr, nullptr), 0x11);
  EXPECT_TRUE(d.rx.empty());
}

// ------------------------------------------------ which replies carry data

// Commands by the replies that carry a body after them.
struct CommandGroup {
  const char *kind;
  std::vector<uint8_t> commands;
  std::vector<uint8_t> statusesWithData;
};

const CommandGroup kCommandGroups[] = {
    {"reads", {0xF1, 0x61, 0x59}, {0x11, 0x33}},
    {"backup reads", {0xF6, 0xF7}, {0x11, 0x33}},
    {"hellos", {0xF0, 0x60, 0x58}, {0x22, 0x33}},
    {"polls", {0xF2, 0x62, 0x5A}, {0x22, 0x33}},
    {"writes and controls", {0xF3, 0x63, 0x5B}, {0x22, 0x33}},
};

const uint8_t kAllStatuses[] = {0x11, 0x22, 0x33, 0xBB, 0xEE, 0x00, 0x5A, 0xFF};

TEST_F(TransactTest, ReadsABodyOnlyAfterTheStatusesThatCarryOne) {
  const Bytes data = {0x02, 0x0B, 0x30};
  for (const CommandGroup &g : kCommandGroups) {
    for (uint8_t command : g.commands) {
      for (uint8_t status : kAllStatuses) {
        SCOPED_TRACE(testing::Message()
                     << g.kind << ": command 0x" << std::hex << int(command)
                     << ", status 0x" << int(status));
        fake::ResetLibrary();
        fake::PretendPortOpen();
        d.Queue(command, Body(status, data));
        FrameBuf buffer;
        std::fill(std::begin(buffer), std::end(buffer), 0xA5);
        uint32_t count = 0;
        int result = Transact(command, &count, &buffer);
        EXPECT_EQ(result, status);
        bool carries =
            std::find(g.statusesWithData.begin(), g.statusesWithData.end(),
                      status) != g.statusesWithData.end();
        if (!carries) {
          EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1}));
          EXPECT_EQ(count, 0u);
          EXPECT_EQ(Prefix(buffer, 4), Filled(4, 0xA5));
        } else if (status == 0x22) {
          EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1, 1, 4}));
          EXPECT_EQ(count, 4u);
          EXPECT_EQ(Prefix(buffer, 5), (Bytes{0x03, 0x02, 0x0B, 0x30, 0xA5}));
        } else {
          EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1, 1, 4}));
          EXPECT_EQ(count, 3u);
          EXPECT_EQ(Prefix(buffer, 4), (Bytes{0x02, 0x0B, 0x30, 0xA5}));
        }
      }
    }
  }
}

TEST_F(TransactTest, ACoinPollAnsweredWithOneItemReadsLikeAList) {
  d.Queue(0x62, {0x22, 0x03, 0x10, 0x20, 0x30, 0x03});
  FrameBuf buffer{};
  uint32_t count = 0;
  EXPECT_EQ(Transact(0x62, &count, &buffer), 0x22);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(Prefix(buffer, 4), (Bytes{0x03, 0x10, 0x20, 0x30}));
  EXPECT_EQ(d.frames.at(0), (Bytes{0x62, 0x9D}));
}

TEST_F(TransactTest, TheLongestItemFillsTheWholeBuffer) {
  Bytes data(255);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i + 1);
  d.Queue(0x62, Body(0x22, data));
  auto buffer = std::make_unique<HeapFrame>();
  uint32_t count = 0;
  EXPECT_EQ(Transact(0x62, &count, &buffer->bytes), 0x22);
  EXPECT_EQ(count, 256u);
  EXPECT_EQ(buffer->bytes[0], 0xFF);
  EXPECT_EQ(Bytes(buffer->bytes + 1, buffer->bytes + 256), data);
  EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1, 1, 256}));
}

TEST_F(TransactTest, AnEmptyListIsFollowedByItsCheckByteOnly) {
  d.Queue(0xF2, {0x33, 0x00, 0x00});
  FrameBuf buffer;
  uint32_t count = 7;
  EXPECT_EQ(Transact(0xF2, &count, &buffer), 0x33);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1, 1, 1}));

  d.Queue(0xF2, {0x33, 0x00, 0x01});
  count = 7;
  EXPECT_EQ(Transact(0xF2, &count, &buffer), -9);
  EXPECT_EQ(count, 0u);
}

// A data-carrying reply to a command whose caller only meant the buffer for
// its payload must still stay inside the caller's 256 bytes.
TEST_F(TransactTest, ABodyInReplyToAWriteStaysInsideTheBuffer) {
  const Bytes full(255, 0x5C);
  for (uint8_t status : {uint8_t{0x22}, uint8_t{0x33}}) {
    SCOPED_TRACE(int(status));
    fake::ResetLibrary();
    fake::PretendPortOpen();
    d.Queue(0xF3, Body(status, full));
    auto buffer = std::make_unique<HeapFrame>();
    buffer->bytes[0] = 0x70;
    buffer->bytes[1] = 0x80;
    uint32_t count = 2;
    EXPECT_EQ(Transact(0xF3, &count, &buffer->bytes), status);
    EXPECT_LE(count, kFrameSize);
  }
}

// ------------------------------------------------------------ failures

// Marks a failure case in which every driver call succeeds.
constexpr Fn kNoFault = Fn::ListDevices;

struct FailureCase {
  const char *name;
  Fn failing;        // the driver call that fails, or kNoFault
  int nth;           // which call of it
  FT_STATUS status;  // with this status
  Bytes reply;       // what the unit sends
  int result;        // Transact's result
  uint32_t lastStatus;
  size_t writes;
  std::vector<uint64_t> reads;
};

const Bytes kList = {0x33, 0x03, 0x02, 0x0B, 0x30, 0x3A};

const FailureCase kFailureCases[] = {
    {"purge fails", Fn::Purge, 0, FT_IO_ERROR, kList, -1, FT_IO_ERROR, 0, {}},
    {"write fails",
     Fn::Write,
     0,
     FT_OTHER_ERROR,
     kList,
     -2,
     FT_OTHER_ERROR,
     1,
     {}},
    {"status read fails",
     Fn::Read,
     0,
     FT_DEVICE_NOT_FOUND,
     kList,
     -3,
     FT_DEVICE_NOT_FOUND,
     1,
     {1}},
    {"no status in time", kNoFault, 0, FT_OK, {}, -4, FT_OK, 1, {1}},
    {"length read fails",
     Fn::Read,
     1,
     FT_IO_ERROR,
     kList,
     -5,
     FT_IO_ERROR,
     1,
     {1, 1}},
    {"no length in time", kNoFault, 0, FT_OK, {0x33}, -6, FT_OK, 1, {1, 1}},
    {"body read fails",
     Fn::Read,
     2,
     FT_INSUFFICIENT_RESOURCES,
     kList,
     -7,
     FT_INSUFFICIENT_RESOURCES,
     1,
     {1, 1, 4}},
    {"body short",
     kNoFault,
     0,
     FT_OK,
     {0x33, 0x05, 0x01, 0x02},
     -8,
     FT_OK,
     1,
     {1, 1, 6}},
    {"check byte only missing",
     kNoFault,
     0,
     FT_OK,
     {0x33, 0x02, 0x01, 0x02},
     -8,
     FT_OK,
     1,
     {1, 1, 3}},
    {"check byte wrong",
     kNoFault,
     0,
     FT_OK,
     {0x33, 0x03, 0x02, 0x0B, 0x30, 0x3B},
     -9,
     FT_OK,
     1,
     {1, 1, 4}},
};

TEST_F(TransactTest, ReportsTheStepThatFailed) {
  for (const FailureCase &c : kFailureCases) {
    SCOPED_TRACE(c.name);
    fake::ResetLibrary();
    fake::PretendPortOpen();
    // A stale status from an earlier call must not survive the exchange.
    Unit.LastDriverStatus = 0x77;
    if (c.failing != kNoFault) d.FailNth(c.failing, c.nth, c.status);
    d.Queue(0x62, c.reply);
    FrameBuf buffer;
    uint32_t count = 0;
    EXPECT_EQ(Transact(0x62, &count, &buffer), c.result);
    EXPECT_EQ(Unit.LastDriverStatus, c.lastStatus);
    EXPECT_EQ(d.CallsOf(Fn::Write).size(), c.writes);
    EXPECT_EQ(fake::ReadSizes(), c.reads);
  }
}

TEST_F(TransactTest, ACheckMismatchStillDeliversTheData) {
  for (uint8_t status : {uint8_t{0x22}, uint8_t{0x33}}) {
    SCOPED_TRACE(int(status));
    fake::ResetLibrary();
    fake::PretendPortOpen();
    d.Queue(0x5A, {status, 0x02, 0xAA, 0xBB, 0x00});  // check should be 0x13
    FrameBuf buffer{};
    uint32_t count = 0;
    EXPECT_EQ(Transact(0x5A, &count, &buffer), -9);
    if (status == 0x22) {
      EXPECT_EQ(count, 3u);
      EXPECT_EQ(Prefix(buffer, 3), (Bytes{0x02, 0xAA, 0xBB}));
    } else {
      EXPECT_EQ(count, 2u);
      EXPECT_EQ(Prefix(buffer, 2), (Bytes{0xAA, 0xBB}));
    }
  }
}

TEST_F(TransactTest, WithoutABufferTheBodyIsReadAndDroppedUnchecked) {
  const Bytes badCheck = {0x33, 0x03, 0x02, 0x0B, 0x30, 0x99};
  // No count and no buffer; a count without a buffer; a buffer alone.
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    fake::ResetLibrary();
    fake::PretendPortOpen();
    d.Queue(0x62, badCheck);
    FrameBuf buffer;
    std::fill(std::begin(buffer), std::end(buffer), 0xA5);
    uint32_t count = 9;
    int result = variant == 0   ? Transact(0x62, nullptr, nullptr)
                 : variant == 1 ? Transact(0x62, &count, nullptr)
                                : Transact(0x62, nullptr, &buffer);
    EXPECT_EQ(result, 0x33);
    EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1, 1, 4}));
    EXPECT_TRUE(d.rx.empty());
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(Prefix(buffer, 4), Filled(4, 0xA5));
  }
}

TEST_F(TransactTest, AOneByteReplyLeavesThePayloadForASecondSend) {
  d.Standing(0xF3, Status(0xBB));
  FrameBuf buffer = {0x70, 0x80};
  uint32_t count = 2;
  EXPECT_EQ(Transact(0xF3, &count, &buffer), 0xBB);
  EXPECT_EQ(Transact(0xF3, &count, &buffer), 0xBB);
  ASSERT_EQ(d.frames.size(), 2u);
  EXPECT_EQ(d.frames[0], d.frames[1]);
  EXPECT_EQ(d.frames[1], (Bytes{0xF3, 0x0C, 0x02, 0x70, 0x80, 0xF2}));
}

// Random replies, well-formed or not, to every command: the data never
// lands outside the caller's 256 bytes (AddressSanitizer watches the heap
// block), the count never exceeds them, and a result is either a status
// byte or one of the steps that can fail without a driver error.
TEST_F(TransactTest, RandomRepliesStayInsideTheBuffer) {
  const uint8_t commands[] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF6, 0xF7, 0x60,
                              0x61, 0x62, 0x63, 0x58, 0x59, 0x5A, 0x5B};
  const uint8_t statuses[] = {0x11, 0x22, 0x33, 0xBB, 0xEE, 0x00};
  std::mt19937 random(38400);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  for (int iteration = 0; iteration < 3000; ++iteration) {
    fake::ResetLibrary();
    fake::PretendPortOpen();
    uint8_t command = commands[pick(sizeof commands)];
    Bytes reply;
    if (pick(4) != 0) {
      Bytes data(pick(256));
      for (uint8_t &b : data) b = static_cast<uint8_t>(random());
      reply = Body(statuses[pick(sizeof statuses)], data);
      if (pick(4) == 0) reply.back() = static_cast<uint8_t>(random());
      if (pick(4) == 0) reply.resize(pick(static_cast<uint32_t>(reply.size())));
    } else {
      reply.resize(pick(8));
      for (uint8_t &b : reply) b = static_cast<uint8_t>(random());
    }
    d.Queue(command, reply);
    auto buffer = std::make_unique<HeapFrame>();
    uint32_t count = pick(3);
    int result = Transact(command, &count, &buffer->bytes);
    ASSERT_TRUE(result >= 0 ? result <= 0xFF
                            : result == -4 || result == -6 || result == -8 ||
                                  result == -9)
        << iteration << ": " << result;
    ASSERT_LE(count, kFrameSize) << iteration;
    ASSERT_EQ(Unit.LastDriverStatus, 0u) << iteration;
  }
}

// ------------------------------------------------------------ discovery

using DiscoveryTest = fake::LibraryTest;

struct ExpectedCall {
  Fn fn;
  int device;
  std::vector<uint64_t> args;
};

void ExpectCalls(const std::vector<ExpectedCall> &want) {
  const std::vector<fake::Call> &got = D2xx::Get().calls;
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(testing::Message()
                 << "call " << i << " " << fake::Name(want[i].fn));
    EXPECT_EQ(got[i].fn, want[i].fn) << fake::Name(got[i].fn);
    EXPECT_EQ(got[i].device, want[i].device);
    EXPECT_EQ(got[i].args, want[i].args);
  }
}

// The whole setup of one accepted device, every value passed.
const std::vector<ExpectedCall> kSetupOfDevice0 = {
    {Fn::Open, 0, {0}},
    {Fn::ResetDevice, 0, {}},
    {Fn::GetDeviceInfo, 0, {0}},  // no further argument
    {Fn::SetBaudRate, 0, {38400}},
    {Fn::SetDataCharacteristics, 0, {8, 0, 0}},
    {Fn::SetFlowControl, 0, {0, 0, 0}},
    {Fn::SetChars, 0, {0, 0, 0, 0}},
    {Fn::SetTimeouts, 0, {1000, 300}},
    {Fn::Purge, 0, {3}},
};

TEST_F(DiscoveryTest, SetsUpTheFirstDeviceWithEveryValueFixed) {
  Unit.LastDriverStatus = 0x77;
  EXPECT_EQ(SearchDevice(), SearchOutcome::Open);
  std::vector<ExpectedCall> want = {{Fn::ListDevices, -1, {0, 0x80000000u}}};
  want.insert(want.end(), kSetupOfDevice0.begin(), kSetupOfDevice0.end());
  ExpectCalls(want);
  EXPECT_NE(Unit.DeviceHandle, 0u);
  EXPECT_EQ(Unit.DriverHandle, d.HandleOf(0));
  EXPECT_EQ(Unit.LastDriverStatus, 0u);
  EXPECT_EQ(d.OpenHandles(), 1);
}

TEST_F(DiscoveryTest, TheFirstAcceptedDeviceWinsAndLaterOnesStayClosed) {
  d.devices = {fake::Device{}, fake::Device{}, fake::Device{}};
  EXPECT_EQ(SearchDevice(), SearchOutcome::Open);
  EXPECT_EQ(d.CallsOf(Fn::Open).size(), 1u);
  EXPECT_EQ(d.CallsOf(Fn::Close).size(), 0u);
  EXPECT_EQ(Unit.DriverHandle, d.HandleOf(0));
}

TEST_F(DiscoveryTest, ADeviceOfAnotherIdIsClosedAndTheNextOneTried) {
  fake::Device other;
  other.id = 0x04036001;
  other.serial = "OTHER0000000001";
  fake::Device unit;
  unit.id = 0x16C91403;
  unit.serial = "TV1403000000042";
  d.devices = {other, unit};
  Unit.LastDriverStatus = 0x77;
  EXPECT_EQ(SearchDevice(), SearchOutcome::Open);
  ExpectCalls({
      {Fn::ListDevices, -1, {0, 0x80000000u}},
      {Fn::Open, 0, {0}},
      {Fn::ResetDevice, 0, {}},
      {Fn::GetDeviceInfo, 0, {0}},
      {Fn::Close, 0, {}},
      {Fn::Open, 1, {1}},
      {Fn::ResetDevice, 1, {}},
      {Fn::GetDeviceInfo, 1, {0}},
      {Fn::SetBaudRate, 1, {38400}},
      {Fn::SetDataCharacteristics, 1, {8, 0, 0}},
      {Fn::SetFlowControl, 1, {0, 0, 0}},
      {Fn::SetChars, 1, {0, 0, 0, 0}},
      {Fn::SetTimeouts, 1, {1000, 300}},
      {Fn::Purge, 1, {3}},
  });
  EXPECT_EQ(Unit.DriverHandle, d.HandleOf(1));
  EXPECT_EQ(d.OpenHandles(), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(Unit.SerialNo)),
            unit.serial);
}

TEST_F(DiscoveryTest, BothAcceptedIdsAreTakenAndNoOther) {
  struct IdCase {
    DWORD id;
    bool accepted;
  };
  const IdCase cases[] = {
      {0x16C91003, true},  {0x16C91403, true},  {0x16C91004, false},
      {0x16C81003, false}, {0x10031403, false}, {0x00000000, false},
  };
  for (const IdCase &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.id);
    fake::ResetLibrary();
    d.devices[0].id = c.id;
    Unit.LastDriverStatus = 0x77;
    EXPECT_EQ(SearchDevice(),
              c.accepted ? SearchOutcome::Open : SearchOutcome::NoneAccepted);
    EXPECT_EQ(Unit.DeviceHandle != 0, c.accepted);
    EXPECT_EQ(d.OpenHandles(), c.accepted ? 1 : 0);
    // A device rejected for its id leaves the status of its last call: 0.
    EXPECT_EQ(Unit.LastDriverStatus, 0u);
  }
}

TEST_F(DiscoveryTest, ADeviceWhoseBaudRateFailsIsClosedAndTheNextTried) {
  d.devices = {fake::Device{}, fake::Device{}};
  d.devices[0].failing[Fn::SetBaudRate] = FT_IO_ERROR;
  EXPECT_EQ(SearchDevice(), SearchOutcome::Open);
  ASSERT_EQ(d.CallsOf(Fn::Close).size(), 1u);
  EXPECT_EQ(d.CallsOf(Fn::Close)[0].device, 0);
  EXPECT_EQ(Unit.DriverHandle, d.HandleOf(1));
  EXPECT_EQ(d.OpenHandles(), 1);
  EXPECT_EQ(Unit.LastDriverStatus, 0u);
}

struct StepFailure {
  Fn step;
  FT_STATUS status;
  size_t callsBeforeClose;  // calls of OpenPort up to and including the step
};

const StepFailure kStepFailures[] = {
    {Fn::ResetDevice, FT_IO_ERROR, 2},
    {Fn::GetDeviceInfo, FT_DEVICE_NOT_OPENED, 3},
    {Fn::SetBaudRate, FT_INVALID_PARAMETER, 4},
    {Fn::SetDataCharacteristics, FT_INSUFFICIENT_RESOURCES, 5},
    {Fn::SetFlowControl, FT_OTHER_ERROR, 6},
    {Fn::SetChars, FT_INVALID_HANDLE, 7},
    {Fn::Purge, 0x1234, 9},
};

TEST_F(DiscoveryTest, EachFailingSetupStepClosesTheDevice) {
  for (const StepFailure &c : kStepFailures) {
    SCOPED_TRACE(fake::Name(c.step));
    fake::ResetLibrary();
    d.devices[0].failing[c.step] = c.status;
    // The close's own failure must not hide the status of the failed step.
    d.devices[0].failing[Fn::Close] = FT_OTHER_ERROR + 1;
    OpenPort(0);
    EXPECT_EQ(Unit.DeviceHandle, 0u);
    EXPECT_EQ(Unit.LastDriverStatus, c.status);
    EXPECT_EQ(d.OpenHandles(), 0);
    const auto &calls = d.calls;
    ASSERT_EQ(calls.size(), c.callsBeforeClose + 1);
    EXPECT_EQ(calls[c.callsBeforeClose - 1].fn, c.step);
    EXPECT_EQ(calls.back().fn, Fn::Close);
    EXPECT_EQ(calls.back().device, 0);

    // The same failure in a search gives up with nothing open.
    fake::ResetLibrary();
    d.devices[0].failing[c.step] = c.status;
    EXPECT_EQ(SearchDevice(), SearchOutcome::NoneAccepted);
    EXPECT_EQ(Unit.DeviceHandle, 0u);
    EXPECT_EQ(Unit.LastDriverStatus, c.status);
    EXPECT_EQ(d.OpenHandles(), 0);
  }
}

TEST_F(DiscoveryTest, AFailingTimeoutSettingDoesNotStopTheSetup) {
  d.devices[0].failing[Fn::SetTimeouts] = FT_IO_ERROR;
  EXPECT_EQ(SearchDevice(), SearchOutcome::Open);
  EXPECT_NE(Unit.DeviceHandle, 0u);
  EXPECT_EQ(d.CallsOf(Fn::Purge).size(), 1u);
  EXPECT_EQ(d.CallsOf(Fn::Close).size(), 0u);
  EXPECT_EQ(Unit.LastDriverStatus, 0u);
}

TEST_F(DiscoveryTest, FailingTimeoutsAreNotRecordedWhenThePurgeFailsToo) {
  d.devices[0].failing[Fn::SetTimeouts] = FT_IO_ERROR;
  d.devices[0].failing[Fn::Purge] = FT_OTHER_ERROR;
  OpenPort(0);
  EXPECT_EQ(Unit.DeviceHandle, 0u);
  EXPECT_EQ(Unit.LastDriverStatus, FT_OTHER_ERROR);
}

TEST_F(DiscoveryTest, AFailedOpenLeavesNothingToClose) {
  d.devices = {fake::Device{}, fake::Device{}};
  d.Fail(Fn::Open, FT_DEVICE_NOT_OPENED, -1);
  EXPECT_EQ(SearchDevice(), SearchOutcome::NoneAccepted);
  ASSERT_EQ(d.CallsOf(Fn::Open).size(), 2u);
  EXPECT_EQ(d.CallsOf(Fn::Open)[0].args, (std::vector<uint64_t>{0}));
  EXPECT_EQ(d.CallsOf(Fn::Open)[1].args, (std::vector<uint64_t>{1}));
  EXPECT_EQ(d.CallsOf(Fn::Close).size(), 0u);
  EXPECT_EQ(d.CallsOf(Fn::ResetDevice).size(), 0u);
  EXPECT_EQ(Unit.DeviceHandle, 0u);
  EXPECT_EQ(Unit.DriverHandle, nullptr);
  EXPECT_EQ(Unit.LastDriverStatus, FT_DEVICE_NOT_OPENED);
}

TEST_F(DiscoveryTest, ADeviceThatCannotBeOpenedIsPassedOver) {
  d.devices = {fake::Device{}, fake::Device{}};
  d.Fail(Fn::Open, FT_DEVICE_NOT_OPENED, 1);
  EXPECT_EQ(SearchDevice(), SearchOutcome::Open);
  EXPECT_EQ(Unit.DriverHandle, d.HandleOf(1));
  EXPECT_EQ(d.CallsOf(Fn::Close).size(), 0u);
  EXPECT_EQ(Unit.LastDriverStatus, 0u);
}

TEST_F(DiscoveryTest, ANullHandleIsNoOpenDevice) {
  d.devices = {fake::Device{}, fake::Device{}};
  d.devices[0].nullHandle = true;
  EXPECT_EQ(SearchDevice(), SearchOutcome::Open);
  EXPECT_EQ(Unit.DriverHandle, d.HandleOf(1));
  // Nothing was set up on the null handle.
  for (const fake::Call &c : d.calls) {
    if (c.fn != Fn::ListDevices && c.fn != Fn::Open) {
      EXPECT_EQ(c.device, 1) << fake::Name(c.fn);
    }
  }
}

TEST_F(DiscoveryTest, TheLastDevicesFailureIsTheOneRecorded) {
  d.devices = {fake::Device{}, fake::Device{}};
  d.devices[0].failing[Fn::SetChars] = FT_IO_ERROR;
  d.devices[1].id = 0x16C90000;
  EXPECT_EQ(SearchDevice(), SearchOutcome::NoneAccepted);
  EXPECT_EQ(Unit.LastDriverStatus, 0u);
  EXPECT_EQ(d.OpenHandles(), 0);
  EXPECT_EQ(d.CallsOf(Fn::Close).size(), 2u);
}

TEST_F(DiscoveryTest, WithNoDeviceNothingIsOpened) {
  d.devices.clear();
  Unit.LastDriverStatus = 0x77;
  EXPECT_EQ(SearchDevice(), SearchOutcome::NoDevice);
  EXPECT_EQ(d.calls.size(), 1u);
  EXPECT_EQ(Unit.LastDriverStatus, 0u);
  EXPECT_EQ(Unit.DeviceHandle, 0u);
}

TEST_F(DiscoveryTest, AFailedDeviceCountEndsTheSearch) {
  d.Fail(Fn::ListDevices, FT_IO_ERROR);
  EXPECT_EQ(SearchDevice(), SearchOutcome::NoCount);
  EXPECT_EQ(d.calls.size(), 1u);
  EXPECT_EQ(Unit.LastDriverStatus, FT_IO_ERROR);
  EXPECT_EQ(Unit.DeviceHandle, 0u);
}

TEST_F(DiscoveryTest, CopiesTheSerialNumber) {
  struct SerialCase {
    std::string serial;
    Bytes stored;  // the 16 bytes of Unit.SerialNo
  };
  const SerialCase cases[] = {
      {"AB12", {'A', 'B', '1', '2', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"TV0000000000042",
       {'T', 'V', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '4',
        '2', 0}},
      // Sixteen characters and the driver's terminating 0: the text fills
      // Unit.SerialNo and nothing runs over it.
      {"0123456789ABCDEF",
       {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D',
        'E', 'F'}},
  };
  for (const SerialCase &c : cases) {
    SCOPED_TRACE(c.serial);
    fake::ResetLibrary();
    std::fill(std::begin(Unit.SerialNo), std::end(Unit.SerialNo), 0xEE);
    d.devices[0].serial = c.serial;
    EXPECT_EQ(SearchDevice(), SearchOutcome::Open);
    EXPECT_EQ(Bytes(Unit.SerialNo, Unit.SerialNo + 16), c.stored);
  }
}

#if UINTPTR_MAX > 0xFFFFFFFFu
// Where driver handles are pointers, the application gets a number that
// stands for the open unit; a number kept from an earlier open must not
// match the next one.
TEST_F(DiscoveryTest, EachOpenHandsOutANewNonZeroHandle) {
  std::vector<uint32_t> handles;
  for (int i = 0; i < 4; ++i) {
    OpenPort(0);
    ASSERT_NE(Unit.DeviceHandle, 0u);
    for (uint32_t h : handles) EXPECT_NE(Unit.DeviceHandle, h);
    handles.push_back(Unit.DeviceHandle);
    ClosePort();
    EXPECT_EQ(Unit.DeviceHandle, 0u);
    EXPECT_EQ(Unit.DriverHandle, nullptr);
  }
  EXPECT_EQ(d.OpenHandles(), 0);
}
#endif

}  // namespace
