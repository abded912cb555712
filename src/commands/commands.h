// The small routines (encoders) that build a command's payload, send it and
// reduce the reply to 0 (accepted) or -1 (anything else).
#ifndef TAVOCTL_COMMANDS_COMMANDS_H
#define TAVOCTL_COMMANDS_COMMANDS_H

#include <cstdint>

#include "os/os.h"
#include "protocol/protocol.h"

// Packed BCD of a value 0-99: tens in the high nibble.
uint8_t ToBcd(uint32_t value);

// Payload builders (pure; used by the encoders and by the start-up).
void BuildClockPayload(const LocalTime &time, uint8_t out[8]);
void BuildCoinPayoutPayload(uint16_t amount, uint8_t out[4]);
void BuildBillPayoutPayload(uint8_t count, uint8_t out[5]);

// Sends a CmdBoardWrite (or any) command with the payload given and returns
// Transact's result; the reply lands in a scratch buffer of its own, so a
// data-carrying reply never runs over the caller's payload.
int SendPayload(uint8_t command, const uint8_t *payload, uint32_t length);

// What became of the last command sent through SendPayload.
Delivery LastDelivery();

// Encoders: 0 when the unit accepted the command, -1 otherwise.
int BoardHello();
int BoardReset();
int BoardClearBackup();
int BoardStop();
int BoardStart();
int BoardClock();
int CoinHello();
int BillHello();
int CoinCtrl(uint8_t value);
int BillCtrl(uint8_t value);
int CoinPayout(uint16_t amount);
int BillPayout(uint8_t count);
int Send7Seg(const uint8_t dotsAndDigits[5]);
int SendBuzzer(const uint8_t *pattern, uint8_t count);
int SendOutputPort(uint8_t value);
int SendCounter(uint8_t selector, uint8_t value);

#endif  // TAVOCTL_COMMANDS_COMMANDS_H
