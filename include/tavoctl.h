/*
 * tavoctl.h - driver library for one TAVO cash payment unit.
 *
 * The unit is a controller board carrying a coin unit (coins of 10, 50, 100
 * and 500), a note unit (notes of 1000), a four-digit seven-segment display,
 * a buzzer, an output port, two user counters, a clock and a backup memory.
 * It is attached over USB through a USB-serial bridge and reached through
 * the bridge vendor's D2XX driver (FTD2XX.DLL on Windows, a D2XX provider
 * library elsewhere) at 38400 baud.
 *
 * This is the only header an application needs. It is valid C and C++.
 *
 * A sale
 * ------
 *     uint32_t h;
 *     TAVO_Open(&h);                 find the unit, start it, read it
 *     TAVO_TradeBegin(h);            open a trade (acceptance off)
 *     TAVO_Accept(h, 1500);          accept money up to 1500
 *     do { TAVO_GetTAVOData(h, &t);   poll: keeps the trade going
 *          TAVO_GetPCBData(h, &b); }  b.Credit: the customer's money so far
 *     while (b.Credit < price);
 *     TAVO_Charge(h, price);         b.Credit drops by the price
 *     TAVO_PayBack(h);               pay the rest back as change
 *     poll until b.Credit == 0 and the top byte (TAVO_PENDING_*) of
 *     t.CoinFlags and t.BillFlags is 0: the payout has been reported
 *     TAVO_TradeEnd(h);              close the trade (credit must be 0)
 *     TAVO_Close(h);
 * After a failure, tavoctl_text.h says what to do next: retry, poll,
 * pay-back, read-board (part was done: read the records first), reopen,
 * fix-call or service.
 *
 * Polling
 * -------
 * The library starts no thread and installs no timer. Everything that must
 * follow from what the units report during a trade (acceptance switched off
 * when the credit reaches the limit, a note held in escrow taken in and
 * counted) happens inside the exports, mostly inside TAVO_GetTAVOData. Poll
 * it for as long as a trade is open. Every export blocks the calling thread;
 * the longest waits are ten sleeps of 100 ms and the link's read time-out of
 * 1000 ms for each exchange the unit leaves unanswered.
 *
 * Faults and money
 * ----------------
 * A lost or garbled reply never loses or doubles money:
 *  - The board and the units report in a poll only what changed since
 *    their last report. After a failed exchange the library reads that
 *    device in full at its next refresh, so a coin, a payout or a charge
 *    that a lost reply carried still reaches the records, and pending bits
 *    whose report was lost are cleared from the unit's full state.
 *  - Charges are checked on the board's meter; a charge that cannot be
 *    checked (0x137A) is retried with the same amount and never counts
 *    twice. A payout whose acknowledgement was lost counts as running until
 *    the unit shows otherwise (see TAVO_PayBack); nothing is paid twice.
 *  - A refresh failure (0xFF31-0xFF37) changes nothing: call again. When
 *    the unit stays silent (a power failure: the board restarts and waits
 *    to be opened), close and reopen it: the open finds the unfinished
 *    trade, leaves it unsettled, and the next TAVO_TradeBegin carries its
 *    Credit on (see there).
 *  - Once TAVO_TradeEnd has found Credit at 0 and begun to settle the
 *    units, Credit stays 0 and TAVO_AcceptEx, TAVO_Charge, TAVO_PayBack and
 *    TAVO_PayOut refuse with reason 0x04 until a TAVO_TradeEnd succeeds:
 *    a settle that fails half-way cannot bring money back as credit. The
 *    units are settled one after the other, each only once the one before
 *    has reported its settle done, and the charged amount is cleared last;
 *    a close cut short (the process dies, the unit loses power) is
 *    finished by the next TAVO_TradeBegin after the reopen, which then
 *    begins a new trade from zero.
 *  - A process that dies, or a unit that loses power, at any frame of a
 *    sale loses no money: the reopen finds the trade on the units' counts
 *    and the board's meters, and TAVO_TradeBegin carries it on with Credit
 *    exactly what the customer is owed; money inserted afterwards is
 *    credited in full. A note being taken in is counted on the board
 *    before the unit is told to stack it (counter 0 counts each note as
 *    16: 8 before the note unit's settle, the rest once the note has left
 *    the escrow; a remainder of 12 or 15 records a note the customer took
 *    back in between), so it is never between two counts.
 *  - A note held in the escrow still belongs to the customer, who can take
 *    it back (the return button, the escrow's time-out). TAVO_Charge takes
 *    held notes in before it charges a price that rests on one, and
 *    TAVO_PayBack and TAVO_PayOut before they pay; these may then return
 *    the note follow-up's codes (0x08xx) as well. A held note left when the
 *    trade is cancelled is taken in and paid back with the credit. (A note
 *    unit whose escrow holds several notes at once keeps them held until
 *    the trade ends.)
 *  - Reason 0x06 of the trade and money exports: a command to a unit has
 *    stayed pending through many calls and the unit never reports it done.
 *    Have the unit looked at (a jam), then close and reopen it.
 * data/result-codes.tsv (and tavoctl_text.h) say for every code what the
 * application does next.
 *
 * Threads
 * -------
 * One export runs at a time. A call made while another export runs returns
 * at once with that export's function number as its result (a "busy" code,
 * 0x0001 to 0x0026); nothing queues and nothing waits on a lock.
 *
 * Result codes
 * ------------
 * Every export returns a 32-bit value whose upper 16 bits are 0 and whose low
 * 16 bits are the result code:
 *   0x0000              success
 *   0x0001 - 0x0026     busy: the function number of the export now running
 *   0xFF01              (FF = function number) no unit is open
 *   0xFF02              the handle given is not the open unit's handle
 *   0xFFrr              a reason of the export's own, listed at the export
 *   0xFF30 + n          the status refresh at the start of the export failed;
 *                       n names the failed exchanges: 1 coin unit, 2 note
 *                       unit, 4 board, added together
 * A few internal steps are shared by several exports and return finished
 * codes whatever export runs them: the acceptance control (0x1261-0x1264,
 * 0x1341-0x1347) and the note follow-up of TAVO_GetTAVOData (0x08xx).
 *
 * Handles
 * -------
 * The handle is a 32-bit value that TAVO_Open writes into the caller's
 * variable; every other export takes it back as its first argument. On
 * 32-bit Windows it is the D2XX driver handle itself. Where the driver handle
 * is a 64-bit pointer (64-bit Windows, Linux) the library keeps the pointer
 * to itself and hands out a non-zero 32-bit number that stands for it; each
 * open hands out a new number. Treat the value as opaque either way.
 *
 * Records
 * -------
 * PcbData (232 bytes) mirrors the board and carries the trade state; TavoData
 * (36 bytes) mirrors the coin and note units, once live and once as read from
 * the board's backup memory at open. Multi-byte fields are unsigned
 * little-endian, as the records are laid out byte for byte for the
 * application. Counts of coins and notes are plain numbers (the units report
 * them in BCD; the library converts).
 */
#ifndef TAVOCTL_H
#define TAVOCTL_H

#include <stddef.h>
#include <stdint.h>

/* The version of this header and of the library built with it: the version
 * of the project() line in CMakeLists.txt (the build stops when they
 * differ), of the Windows VERSIONINFO and of the Linux soname. The twenty
 * exports and their ordinals are the same in every version. */
#define TAVOCTL_VERSION_MAJOR 1
#define TAVOCTL_VERSION_MINOR 0
#define TAVOCTL_VERSION_PATCH 0
#define TAVOCTL_VERSION_STRING "1.0.0"
/* MAJOR * 10000 + MINOR * 100 + PATCH, for #if comparisons. */
#define TAVOCTL_VERSION                                          \
  (TAVOCTL_VERSION_MAJOR * 10000 + TAVOCTL_VERSION_MINOR * 100 + \
   TAVOCTL_VERSION_PATCH)

/* The exports use the Windows standard calling convention on 32-bit Windows
 * (arguments pushed right to left, removed by the called function), as the
 * applications written for this unit declare them. 64-bit Windows and Linux
 * have a single convention, so the macro is empty there. */
#if defined(_WIN32) && !defined(_WIN64)
#define TAVO_CALL __stdcall
#else
#define TAVO_CALL
#endif

/* Only the library's own build marks the exports visible; on Windows the
 * module-definition file lists them at their ordinals instead. */
#if defined(TAVOCTL_BUILD) && !defined(_WIN32)
#define TAVO_API __attribute__((visibility("default")))
#else
#define TAVO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- records */

/* The board record, 232 bytes. */
typedef struct PcbData {
  uint8_t SerialNo[16];   /*   0: USB serial-number text of the bridge */
  uint8_t BoardText[128]; /*  16: 127 bytes of board text, then a 0 at 143 */
  uint32_t Meters[15];    /* 144: board meters; Meters[8] (offset 176) is the
                                  amount charged in the current trade */
  uint32_t BoardAux;      /* 204: a 24-bit board value, top byte 0 */
  uint32_t TradeId;       /* 208: number of the open trade, 0 = none */
  uint16_t AcceptLimit;   /* 212: money is accepted up to this amount */
  uint16_t Credit;        /* 214: the customer's money in the trade; 65530
                                  while it is more than 65535 (pay that and
                                  the rest shows at the next refresh) */
  uint8_t BoardBlockA[7]; /* 216: first 7 bytes of the board's block item */
  uint8_t BoardBlockB[7]; /* 223: last 7 bytes of the board's block item */
  uint8_t Reserved[2];    /* 230: always 0 */
} PcbData;

/* A money-unit record, 36 bytes. The four bytes of each coin array count
 * the denominations 10, 50, 100, 500 in that order. */
typedef struct TavoData {
  uint8_t CoinIn[4];     /*  0: coins taken in */
  uint8_t CoinStock[4];  /*  4: coins available for payout */
  uint8_t CoinOut[4];    /*  8: coins paid out */
  uint32_t CoinFlags;    /* 12: coin unit status, see TAVO_COIN_* */
  uint32_t CoinAux;      /* 16: a 24-bit coin unit value, top byte 0 */
  uint8_t CoinUnitId[2]; /* 20: both 0 = no coin unit fitted */
  uint8_t BillEscrow;    /* 22: notes held in escrow by the note unit */
  uint8_t BillStacked;   /* 23: notes taken in during this trade */
  uint8_t BillStock;     /* 24: notes available for payout */
  uint8_t BillOut;       /* 25: notes paid out */
  uint8_t BillUnitId[2]; /* 26: both 0 = no note unit fitted */
  uint32_t BillFlags;    /* 28: note unit status, see TAVO_BILL_* */
  uint32_t BillAux;      /* 32: a 16-bit note unit value, upper half 0 */
} TavoData;

#if defined(__cplusplus)
#define TAVO_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define TAVO_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
TAVO_STATIC_ASSERT(sizeof(PcbData) == 232, "PcbData is 232 bytes");
TAVO_STATIC_ASSERT(offsetof(PcbData, SerialNo) == 0, "SerialNo");
TAVO_STATIC_ASSERT(offsetof(PcbData, BoardText) == 16, "BoardText");
TAVO_STATIC_ASSERT(offsetof(PcbData, Meters) == 144, "Meters");
TAVO_STATIC_ASSERT(offsetof(PcbData, BoardAux) == 204, "BoardAux");
TAVO_STATIC_ASSERT(offsetof(PcbData, TradeId) == 208, "TradeId");
TAVO_STATIC_ASSERT(offsetof(PcbData, AcceptLimit) == 212, "AcceptLimit");
TAVO_STATIC_ASSERT(offsetof(PcbData, Credit) == 214, "Credit");
TAVO_STATIC_ASSERT(offsetof(PcbData, BoardBlockA) == 216, "BoardBlockA");
TAVO_STATIC_ASSERT(offsetof(PcbData, BoardBlockB) == 223, "BoardBlockB");
TAVO_STATIC_ASSERT(offsetof(PcbData, Reserved) == 230, "Reserved");
TAVO_STATIC_ASSERT(sizeof(TavoData) == 36, "TavoData is 36 bytes");
TAVO_STATIC_ASSERT(offsetof(TavoData, CoinIn) == 0, "CoinIn");
TAVO_STATIC_ASSERT(offsetof(TavoData, CoinStock) == 4, "CoinStock");
TAVO_STATIC_ASSERT(offsetof(TavoData, CoinOut) == 8, "CoinOut");
TAVO_STATIC_ASSERT(offsetof(TavoData, CoinFlags) == 12, "CoinFlags");
TAVO_STATIC_ASSERT(offsetof(TavoData, CoinAux) == 16, "CoinAux");
TAVO_STATIC_ASSERT(offsetof(TavoData, CoinUnitId) == 20, "CoinUnitId");
TAVO_STATIC_ASSERT(offsetof(TavoData, BillEscrow) == 22, "BillEscrow");
TAVO_STATIC_ASSERT(offsetof(TavoData, BillStacked) == 23, "BillStacked");
TAVO_STATIC_ASSERT(offsetof(TavoData, BillStock) == 24, "BillStock");
TAVO_STATIC_ASSERT(offsetof(TavoData, BillOut) == 25, "BillOut");
TAVO_STATIC_ASSERT(offsetof(TavoData, BillUnitId) == 26, "BillUnitId");
TAVO_STATIC_ASSERT(offsetof(TavoData, BillFlags) == 28, "BillFlags");
TAVO_STATIC_ASSERT(offsetof(TavoData, BillAux) == 32, "BillAux");

/* Low byte of CoinFlags: the coin unit's last status byte. */
#define TAVO_COIN_ACCEPTING 0x01u /* coin acceptance is on */
#define TAVO_COIN_STOPPED 0x04u   /* the coin unit has stopped */
#define TAVO_COIN_LATCHED                                             \
  0x08u                         /* reported once: held until the next \
                                   TAVO_GetTAVOData has returned it */
#define TAVO_COIN_PAYOUT 0x10u  /* the coin unit reports a payout */
#define TAVO_COIN_SETTLED 0x20u /* the coin unit reports a settle */
/* Low byte of BillFlags: the first of the note unit's three status bytes
 * (the other two follow in bits 8-23). */
#define TAVO_BILL_ACCEPTING 0x01u /* note acceptance is on */
#define TAVO_BILL_STOPPED 0x04u   /* the note unit has stopped */
#define TAVO_BILL_PAYOUT 0x08u    /* the note unit reports a payout */
#define TAVO_BILL_SETTLED 0x10u   /* the note unit reports a settle */
#define TAVO_BILL_HELD 0x20u      /* a note is held in escrow */
/* Top byte (bits 24-31) of CoinFlags and BillFlags: commands the library
 * sent and the unit has not yet reported done. While any is set the trade
 * and money exports refuse with reason 0x04. */
#define TAVO_PENDING_SETTLE 0x01u  /* settle sent, not yet reported */
#define TAVO_PENDING_PAYOUT 0x02u  /* payout started, not yet reported */
#define TAVO_PENDING_RECHECK 0x04u /* note unit: a note is being taken in */
#define TAVO_PENDING_COUNT 0x08u   /* note unit: a note waits to be counted */
#define TAVO_PENDING_UNCONFIRMED                                     \
  0x10u /* with TAVO_PENDING_PAYOUT: the payout command went out but \
           its acknowledgement was lost (see TAVO_PayBack) */

/* ---------------------------------------------------- function numbers */

/* The function number is the high byte of an export's result codes and the
 * busy code other exports return while it runs. */
#define TAVO_FN_OPEN 0x01u
#define TAVO_FN_CLOSE 0x02u
#define TAVO_FN_CLEARBACKUP 0x03u /* its codes carry 0x01 in the high byte */
#define TAVO_FN_RESET 0x04u
#define TAVO_FN_GETPCBDATA 0x05u
#define TAVO_FN_GETTAVODATA 0x06u
#define TAVO_FN_GETBACKUPDATA 0x07u
#define TAVO_FN_NOTEFOLLOWUP 0x08u /* codes of the note follow-up only */
#define TAVO_FN_TRADEBEGIN 0x10u
#define TAVO_FN_TRADEEND 0x11u
#define TAVO_FN_ACCEPTEX 0x12u /* also TAVO_Accept */
#define TAVO_FN_CHARGE 0x13u
#define TAVO_FN_PAYBACK 0x14u
#define TAVO_FN_PAYOUT 0x15u
#define TAVO_FN_7SEGDOT 0x21u
#define TAVO_FN_7SEGNUM 0x22u
#define TAVO_FN_7SEGPTN 0x23u
#define TAVO_FN_BUZZCTRL 0x24u
#define TAVO_FN_OUTPUTPORT 0x25u
#define TAVO_FN_USERCNT 0x26u

/* Reasons shared by every export (the low byte of the code). */
#define TAVO_OK 0x0000u
#define TAVO_REASON_NOT_OPEN 0x01u     /* no unit is open */
#define TAVO_REASON_WRONG_HANDLE 0x02u /* not the open unit's handle */
#define TAVO_REASON_NO_TRADE 0x03u     /* trade exports: no trade open */
#define TAVO_REASON_PENDING 0x04u      /* a command is still pending */
#define TAVO_REASON_PAYING 0x05u       /* a unit reports a payout */
#define TAVO_REASON_REOPEN 0x06u       /* a command never completes: reopen */
#define TAVO_REASON_REFRESH 0x30u      /* + n: the first refresh failed */
#define TAVO_REASON_BAD_ARGUMENT 0x73u /* an argument is out of range */

#define TAVO_CODE(fn, reason) ((uint16_t)(((fn) << 8) | (reason)))
#define TAVO_IS_BUSY(code) ((code) != 0 && ((code)&0xFF00u) == 0)

/* --------------------------------------------------- connection control */

/* Finds the unit among the bridge's devices, sets up the serial link,
 * starts the board (its clock is set to the computer's local time), blanks
 * the display, silences the buzzer, reads the coin and note units and
 * settles them. `handle` receives the handle (written for 0x0000 and
 * 0x0115-0x0119; only after 0x0000 and 0x0119 is a unit open).
 *   0x0111 a unit is already open       0x0112 the driver gave no device count
 *   0x0113 no device attached           0x0114 no device opened and accepted
 *   0x0115 the board did not answer    0x0116 the board's start-up failed
 *   0x0117 a money unit answered but could not be read
 *   0x0119 a money unit could not be settled (the unit is open)
 *   0x0173 `handle` is a null pointer */
TAVO_API uint32_t TAVO_CALL TAVO_Open(uint32_t *handle);

/* Stops the board and closes the port, whatever handle is given. The stop
 * frame is sent once and the port closes whatever the board answers (a
 * board that missed the stop stays started until the next open). A trade
 * left open stays in the units and the board's backup memory; the next
 * open keeps it for TAVO_TradeBegin to carry on.
 *   0x0201 no unit open */
TAVO_API uint32_t TAVO_CALL TAVO_Close(uint32_t handle);

/* Stops and resets the board and closes the port; open the unit anew
 * afterwards. Takes at least one read time-out (1 s): the board is silent
 * while it restarts, and that silence is what confirms the reset.
 *   0x0401, 0x0402; 0x0421 the board did not stop; 0x0422 the board did not
 *   reset. On 0x0421 and 0x0422 the unit stays open. */
TAVO_API uint32_t TAVO_CALL TAVO_Reset(uint32_t handle);

/* Clears the board's backup memory and reads the board data again. Its
 * codes carry 0x01 in the high byte: 0x0101, 0x0102; 0x0122 the board
 * refused the clear; 0x0123 the board data could not be read again.
 * The backup record (TAVO_GetBackupData) keeps what was read at open. */
TAVO_API uint32_t TAVO_CALL TAVO_ClearBackup(uint32_t handle);

/* -------------------------------------------------------- status queries */

/* Refreshes and copies the board record. While a trade is open it also
 * re-applies the acceptance limit.
 *   0x0501, 0x0502, 0x0531-0x0537 (refresh), 0x0573 `buffer` is null,
 *   0x1261-0x1264 and 0x1341-0x1347 (acceptance control). */
TAVO_API uint32_t TAVO_CALL TAVO_GetPCBData(uint32_t handle, PcbData *buffer);

/* Refreshes and copies the live money-unit record; poll it during a trade.
 * While a trade is open it re-applies the acceptance limit and takes a note
 * held in escrow in when the note limit leaves room for it. The latched coin
 * bit TAVO_COIN_LATCHED is returned set exactly once.
 *   0x0601, 0x0602, 0x0631-0x0637 (refresh), 0x0673 `buffer` is null,
 *   0x1261-0x1264 and 0x1341-0x1347 (acceptance control),
 *   0x0864 the note inhibit failed    0x0851 a refresh in the note wait failed
 *   0x0853 the note unit did not stop 0x0865 the note settle was not
 *   acknowledged (the next call sends it again while the note is held, and
 *   counts the note only if the unit stacked it)
 *   0x0878 counting a taken-in note failed (repeated by the next call). */
TAVO_API uint32_t TAVO_CALL TAVO_GetTAVOData(uint32_t handle, TavoData *buffer);

/* Copies the money-unit record read from the board's backup memory at open.
 * Nothing is exchanged with the unit.
 *   0x0701, 0x0702, 0x0773 `buffer` is null. */
TAVO_API uint32_t TAVO_CALL TAVO_GetBackupData(uint32_t handle,
                                               TavoData *buffer);

/* ---------------------------------------------------------------- trades */

/* Opens a trade: re-reads both units, acceptance off, limit 0.
 * After an open that found a trade the units had not settled (the
 * application or the computer stopped in the middle of a sale), the new
 * trade carries that one on: its coins and notes, the notes counted and the
 * amounts charged stay, and Credit is what the customer is still owed; the
 * application may pay it back, and a charge left in doubt is told by the
 * charged-amount meter (PcbData.Meters[8]). A note that was on its way into
 * the stack is taken in by the trade's polls. A trade whose close had begun
 * is closed first (as TAVO_TradeEnd would), and the new trade starts from
 * zero. TradeId is a new number either way.
 *   0x1001, 0x1002, 0x1003 a trade is already open (this export's own
 *   meaning of reason 0x03), 0x1031-0x1037 (read), 0x1004 a command is
 *   pending, 0x1006 a command never completes (reopen), 0x1072 the board
 *   refused the trade start, 0x1262, 0x1264, 0x1341-0x1347 (acceptance
 *   control); closing a trade whose close had begun: 0x1066/0x1067 the
 *   coin/note settle not acknowledged, 0x1056/0x1057 the coin/note unit did
 *   not report its settle done (poll TAVO_GetPCBData, call again). */
TAVO_API uint32_t TAVO_CALL TAVO_TradeBegin(uint32_t handle);

/* Closes the trade: acceptance off, waits for the units to stop, requires
 * Credit 0, clears the board's count of notes taken in, settles the units
 * (they close their counts), and only then clears the board's
 * charged-amount meter. On failure the trade stays open, no
 * step can raise the credit again, and calling TAVO_TradeEnd again
 * (after what the code says) closes it.
 *   0x1101, 0x1102, 0x1103 no trade: nothing to do
 *   0x1131-0x1137, 0x1141-0x1147, 0x1149-0x114F a refresh failed: call again
 *   0x1104 a command is pending: poll TAVO_GetTAVOData, call again
 *   0x1106 a command never completes: reopen the unit
 *   0x1162/0x1164 coin/note inhibit failed: call again
 *   0x1152/0x1153/0x1154 coin/note/both did not stop: poll, call again
 *   0x1171 Credit is not 0: charge it or pay it back, then call again
 *   0x1166/0x1167 the coin/note unit did not acknowledge its settle: poll
 *     TAVO_GetTAVOData (a settle that went through is then reported), call
 *     again
 *   0x1156/0x1157 the coin/note unit acknowledged its settle but has not
 *     reported it done: poll TAVO_GetTAVOData, call again (the charged
 *     amount stands until both units have reported)
 *   0x1172 the board refused a counter reset: call again (a settle
 *     already sent is awaited first, 0x1104). */
TAVO_API uint32_t TAVO_CALL TAVO_TradeEnd(uint32_t handle);

/* Accepts money while Credit is below `limit` (low 16 bits); `notes` (low 3
 * bits) is the most notes taken in this trade, the last of them staying held
 * in escrow until the trade ends; 0 keeps the note unit off. Notes stay off
 * for the rest of a trade that has paid notes out, and coins once a
 * denomination's count in the trade reaches 90 (the unit counts at most 99
 * of each), so that every coin and note taken is counted.
 *   0x1201, 0x1202, 0x1203 no trade, 0x1231-0x1237 (refresh), 0x1204 a
 *   command is pending, 0x1205 a unit reports a payout, 0x1261/0x1263
 *   enabling coin/note failed, 0x1262/0x1264 inhibiting coin/note failed,
 *   0x1341-0x1347 the refresh after switching failed. */
TAVO_API uint32_t TAVO_CALL TAVO_AcceptEx(uint32_t handle, uint32_t limit,
                                          uint32_t notes);

/* TAVO_AcceptEx with a note limit of 3; same codes (also 0x1206, a command
 * never completes: reopen the unit). */
TAVO_API uint32_t TAVO_CALL TAVO_Accept(uint32_t handle, uint32_t limit);

/* ------------------------------------------------------- charge, payout */

/* Charges `amount` (1-32767) against Credit; the change stays as Credit.
 * Refused unless the change can be paid from the stock of the fitted units
 * (at most 9 notes). Whatever the board answers, the charge is checked on
 * its charged-amount meter (PcbData.Meters[8]) before the call returns.
 *   0x1301, 0x1302, 0x1303, 0x1331-0x1337, 0x1304, 0x1305, 0x1306 (reopen),
 *   0x1373 amount 0, above 32767 or with bits above the low 16 (nothing
 *   charged), 0x1374 amount above Credit, 0x1375 the change cannot be paid,
 *   0x1376 the board did not count the charge (nothing charged: charge
 *   again), 0x1379 the price rests on a held note that cannot be taken in
 *   (notes were paid out in the trade, or two marks were void: nothing
 *   charged),
 *   0x08xx taking a held note in failed (nothing charged), 0x137A the charge
 * may have been made: the board could not be read back. Call TAVO_Charge again
 * with the same amount before anything else: once the board can be read it
 * charges only if the first did not count and returns 0 without charging twice
 * if it did. After the codes 0x1341-0x1343 (a unit's refresh after the charge
 * failed) and 0x1261-0x1264 (acceptance control) the charge stands. */
TAVO_API uint32_t TAVO_CALL TAVO_Charge(uint32_t handle, uint32_t amount);

/* Pays the whole Credit back in notes (at most 9) and coins of the fitted
 * units. Acceptance is switched off and the units waited for first. The
 * payout runs on the units after the call; poll TAVO_GetTAVOData until it is
 * reported (the pending bits clear), then see what Credit still holds.
 *
 * A payout command that went out without a readable acknowledgement may be
 * running. It is never taken for "nothing paid" and never sent twice: the
 * unit's pending bits TAVO_PENDING_PAYOUT and TAVO_PENDING_UNCONFIRMED are
 * set and every money export refuses with reason 0x04 until the unit shows
 * which it was. It ran when the unit reports its payout bit or its counts
 * (out-count, stock) move. It never started when, over a whole idle wait
 * (ten status refreshes 100 ms apart, none failed), the unit reports itself
 * stopped, without the payout bit, with out-count and stock unchanged; then
 * the bits clear and the money is still in Credit. TAVO_PayBack waits so
 * once itself before it returns; polling TAVO_GetTAVOData does it again.
 *   0x1401, 0x1402, 0x1403, 0x1431-0x1437, 0x1404, 0x1405, 0x1406 (reopen),
 *   0x1462/0x1464 coin/note inhibit failed, 0x1452/0x1453/0x1454
 *   coin/note/both did not stop, 0x1449-0x144F a refresh in the wait failed,
 *   0x1477 the stock cannot pay it (nothing paid; also when a
 *   denomination's count paid out in the trade would pass 99), 0x1479 a
 *   held note cannot be taken in (as 0x1379), 0x08xx taking a held note in
 *   failed (nothing paid), 0x1467 the coin payout was refused or never
 *   started (a note payout may be running), 0x1468 the note payout was
 *   refused or never started (nothing paid), 0x1469/0x146A the coin/note
 *   payout was sent, not confirmed (see above; after 0x146A no coin payout
 *   was started): poll, then pay what Credit still holds.
 */
TAVO_API uint32_t TAVO_CALL TAVO_PayBack(uint32_t handle);

/* Pays `amount` (0-65535) like TAVO_PayBack, whatever the Credit; the same
 * codes with 0x15 in the high byte, and 0x1573 `amount` has bits above the
 * low 16 (nothing paid). A held note is taken in first, as by
 * TAVO_PayBack. */
TAVO_API uint32_t TAVO_CALL TAVO_PayOut(uint32_t handle, uint32_t amount);

/* ------------------------------------------------ display and signals */

/* Sets the display's dot mask (low 8 bits), keeping the digits.
 *   0x2101, 0x2102, 0x2179 the board refused. */
TAVO_API uint32_t TAVO_CALL TAVO_7SegDot(uint32_t handle, uint32_t dots);

/* Shows `value` (low 16 bits) on the four digits, keeping the dots.
 * mode 0: hexadecimal; 1: hexadecimal, leading zeros blank (0 blanks all);
 * mode 2: decimal of value mod 10000; 3: decimal, leading zeros blank, the
 * last digit always shown.
 *   0x2201, 0x2202, 0x2273 mode is not 0-3 (low 8 bits), 0x2279 refused. */
TAVO_API uint32_t TAVO_CALL TAVO_7SegNum(uint32_t handle, uint32_t mode,
                                         uint32_t value);

/* Shows four raw segment patterns (bits 6-0 of each of the four bytes).
 *   0x2301, 0x2302, 0x2373 `patterns` is null, 0x2379 the board refused. */
TAVO_API uint32_t TAVO_CALL TAVO_7SegPtn(uint32_t handle,
                                         const uint8_t *patterns);

/* Plays a buzzer pattern: the bytes up to the first 0xFF, at most `count`
 * (low 8 bits) and at most 32 of them. Count 0 silences the buzzer.
 *   0x2401, 0x2402, 0x2473 `pattern` is null with a count above 0,
 *   0x2479 the board refused. */
TAVO_API uint32_t TAVO_CALL TAVO_BuzzCtrl(uint32_t handle, uint32_t count,
                                          const uint8_t *pattern);

/* Sets the output port (low 8 bits).
 *   0x2501, 0x2502, 0x2579 the board refused. */
TAVO_API uint32_t TAVO_CALL TAVO_OutputPort(uint32_t handle, uint32_t value);

/* Sends `count` (low 8 bits) to user counter 1 or 2 of the board.
 *   0x2601, 0x2602, 0x2673 counter is not 1 or 2, 0x2679 the board refused.
 */
TAVO_API uint32_t TAVO_CALL TAVO_UserCnt(uint32_t handle, uint32_t counter,
                                         uint32_t count);

#ifdef __cplusplus
}
#endif

#endif /* TAVOCTL_H */
