/*
 * tavovu.h - the virtual TAVO payment unit.
 *
 * A model of the controller board, the coin unit (coins of 10, 50, 100 and
 * 500) and the note unit (notes of 1000) behind the bridge vendor's D2XX API.
 * The same code is a D2XX provider: on Linux the shared library libtavovu.so
 * defines the FT_* functions, on Windows it is built as FTD2XX.DLL and
 * exports them at the vendor's ordinals. A program that loads it beside
 * tavoctl drives the virtual unit exactly as it would drive a real one; this
 * header is the other side: configure the devices, play the customer, break
 * things on purpose, and read back what the unit did.
 *
 * All functions are plain C, safe to call from any thread (one lock guards
 * the whole model), and return 0 (VU_OK) for success unless said otherwise.
 * Devices are addressed by their index in the driver's list (0 first).
 *
 * Time
 * ----
 * By default the unit is instant: a reply is in the receive queue as soon as
 * the request is written, and a read that asks for more bytes than the unit
 * sent returns at once with fewer (which the caller sees as its read
 * time-out). vu_set_timing() turns on a wire model: 38400 baud, 8 data bits,
 * 1 stop bit (10 bit times, about 0.26 ms a byte) plus a reply latency, on
 * a virtual clock (nothing waits, vu_now_us() tells the time the link would
 * have taken, a missing reply costs the read time-out set by FT_SetTimeouts)
 * or on the real clock (reads really wait). The model's clock counts the
 * link only: a program's own sleeps (the library's 100 ms pauses) are not in
 * it.
 *
 * How the virtual unit behaves where the protocol leaves it open
 * ---------------------------------------------------------------
 * Driver
 *  - FT_ListDevices answers the number-only query, and by index the serial
 *    number (FT_OPEN_BY_SERIAL_NUMBER) or the description. Handles are
 *    small non-zero numbers, new at each open; a device is opened by one
 *    handle at a time (a second FT_Open gives FT_DEVICE_NOT_OPENED).
 *  - FT_GetDeviceInfo writes exactly 16 bytes of serial number (NUL-padded,
 *    without a terminating NUL when all 16 are used) and 64 of description.
 *  - A failing FT_Close (vu_fail_calls) still releases the handle.
 * Frames
 *  - A request whose complement byte or check byte is wrong, or that comes
 *    while the line settings are not 38400 baud 8N1 without flow control, is
 *    ignored: the unit stays silent (a real unit would see line noise).
 *    After FT_Open the line is at the driver default of 9600 baud.
 *  - The board read and the two unit reads answer StList with every item;
 *    the backup reads answer StAck with the stored items, or StNone when
 *    nothing is stored.
 *  - A write or control frame with an unknown sub-command, selector or
 *    control value, or a wrong length, is answered with VU_ST_REFUSED (0x55),
 *    a one-byte status of the model's own. A command byte the board does not
 *    know is answered StNone.
 *  - A money unit that is not fitted (or was removed) answers its hello,
 *    read, poll and control frames with StNone ("no such unit").
 * Reports
 *  - Each device (board, coin unit, note unit) remembers what it last
 *    reported. A poll reports the items whose value changed since then:
 *    StAck for none (units), StItem for one, StList for several. The board
 *    poll always answers StList, with an empty list (length 0, check byte 0)
 *    when nothing changed. A full read reports everything and counts as a
 *    report.
 *  - A reply spoilt on purpose (VU_FAULT_BAD_CHECK, VU_FAULT_SHORT) counts
 *    as not delivered: the next poll reports the same changes again.
 *  - Items in a read: board 0x7D text, 0x7A meters, 0x79 aux, 0x7B blocks;
 *    coin unit 0x0D id, 0x0C aux, 0x08 in, 0x09 stock, 0x0A out, 0x0B
 *    status; note unit 0x1D id, 0x1C aux, 0x18 escrow, 0x19 stock, 0x1A out,
 *    0x1B status. Polls report changed items in the same order. A status
 *    item that carries an event bit (below) is reported even when its bytes
 *    equal the last report, so that every event reaches the host.
 * Board
 *  - Meters (15 big-endian 32-bit values of item 0x7A):
 *      [0] value of coins taken in   [1] value of notes taken in
 *      [2] value of coins paid out   [3] value of notes paid out
 *      [4] counter 0 (notes counted in the trade; SubCounter 0x00)
 *      [5] user counter 1 total      [6] user counter 2 total
 *      [7] counter 0 total           [8] amount charged in the trade
 *      [9] amount charged in total   [10] board starts  [11] board resets
 *      [12]-[14] 0
 *    A SubCounter frame with selector 0x80 | high bits adds its 15-bit
 *    amount to [8] (and [9]); one with the amount 0 sets [8] to 0. Counter 0
 *    works the same way on [4]. User counters add their count.
 *  - BoardBlockA (first 7 bytes of item 0x7B) is the clock as last set
 *    (century, year, month, day, hour, minute, second, BCD); the clock is
 *    not advanced by the model. BoardBlockB is the display and port:
 *    dot mask, the four digit codes, output port value, length of the last
 *    buzzer pattern.
 *  - BoardAux (item 0x79) is the board's firmware version, 0x010000.
 *  - Start (70 01) counts in Meters[10]. Stop (70 02) switches acceptance
 *    of both units off; enable commands while the board is stopped are
 *    acknowledged but leave acceptance off.
 *  - Backup memory: when the board is stopped or reset, or loses power
 *    (vu_power_fail), while a trade is unsettled (a per-trade count of a
 *    unit, a note in escrow, or Meters[4]/[8] is non-zero), it stores the
 *    full reads of both units as they stand. Until then, and after a clear
 *    backup (70 40), both backup reads answer StNone.
 *  - Reset (70 80) is answered StReset; the board then restarts and stays
 *    silent to every frame. With the instant model the restart ends when the
 *    device is next opened; with the timing model it lasts restart_ms
 *    (default 1500 ms) of model time, and a frame sent before then, a hello
 *    included, is lost. After the restart the board is
 *    stopped, the display blank, the buzzer silent, the port 0; a payout
 *    under way is finished; meters, clock and backup memory are kept.
 * Money units
 *  - Status byte of the coin unit (item 0x0B): 0x01 acceptance on; 0x04
 *    stopped (acceptance off, no payout under way, not jammed); 0x08 a coin
 *    was refused and returned to the customer; 0x10 payout done; 0x20 settle
 *    done; 0x80 jammed. First status byte of the note unit (item 0x1B): 0x01
 *    acceptance on; 0x04 stopped; 0x08 payout done; 0x10 settle done; 0x20 a
 *    note is held in escrow; 0x40 a note was refused and returned; 0x80
 *    jammed. Its second byte is 0x01 while jammed, the third is 0.
 *  - The event bits (coin 0x08, 0x10, 0x20; note 0x08, 0x10, 0x40) appear in
 *    the next report of the status and are dropped once reported, so the
 *    report after that shows the status without them.
 *  - Coins taken in go into the stock of their denomination (tubes of 99
 *    coins; further coins fall into the cash box, not available for payout).
 *    A note is held in escrow (note_escrow notes at once, default 1; a note
 *    that does not fit is refused) until a settle stacks it into the note
 *    stock (99 notes, then the cash box).
 *  - Per-trade counts (coins in, coins out, notes out) are BCD bytes that
 *    saturate at 99. A settle closes them (sets them to 0) and, for the note
 *    unit, stacks the notes held. Note that a settle that stacks a note in
 *    the middle of a trade therefore also clears the notes-out count.
 *  - A coin payout takes coins greedily from the stock, 500 down to 10; an
 *    amount the stock cannot pay exactly is paid as far as it goes and the
 *    rest is dropped (vu_money_report unpaid). A note payout pays the count
 *    sent (one digit), at most the notes in stock. A payout switches
 *    acceptance off and lasts payout_polls polls of its unit (default 1):
 *    the first poll after the command reports it done. A second payout
 *    command while one runs is refused (VU_ST_REFUSED).
 *  - A jammed unit reports 0x80 and neither acceptance nor stopped, refuses
 *    money, and holds a payout until it is cleared; commands are still
 *    acknowledged.
 */
#ifndef TAVOVU_H
#define TAVOVU_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VU_API
#else
#define VU_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the vu_ functions. */
#define VU_OK 0
#define VU_ERR_DEVICE (-1)   /* no device with that index */
#define VU_ERR_ARGUMENT (-2) /* an argument out of range */
#define VU_REFUSED                                                     \
  (-3)                  /* the unit refused the money (acceptance off, \
                           escrow full, board stopped or restarting) */
#define VU_NO_UNIT (-4) /* the unit is not fitted or was removed */
#define VU_JAMMED (-5)  /* the unit is jammed */

/* The model's own reply status for a malformed or unknown write. */
#define VU_ST_REFUSED 0x55

/* Money units. */
#define VU_COIN 0
#define VU_NOTE 1

/* The D2XX calls that can be made to fail (bits of vu_device_config
 * fail_calls and of vu_fail_calls). */
#define VU_CALL_OPEN 0x0001u
#define VU_CALL_CLOSE 0x0002u
#define VU_CALL_RESET_DEVICE 0x0004u
#define VU_CALL_GET_INFO 0x0008u
#define VU_CALL_SET_BAUD 0x0010u
#define VU_CALL_SET_DATA 0x0020u
#define VU_CALL_SET_FLOW 0x0040u
#define VU_CALL_SET_CHARS 0x0080u
#define VU_CALL_SET_TIMEOUTS 0x0100u
#define VU_CALL_PURGE 0x0200u
#define VU_CALL_WRITE 0x0400u
#define VU_CALL_READ 0x0800u

/* One device as the driver lists it, with its unit. */
typedef struct vu_device_config {
  uint32_t device_id;      /* USB vendor id << 16 | product id */
  uint32_t device_type;    /* what FT_GetDeviceInfo reports as the type */
  char serial[16];         /* serial-number text (NUL-padded) */
  char description[64];    /* description text */
  int coin_fitted;         /* 0: no coin unit */
  int note_fitted;         /* 0: no note unit */
  uint8_t coin_unit_id[2]; /* item 0x0D */
  uint8_t note_unit_id[2]; /* item 0x1D */
  int coin_stock[4];       /* coins of 10, 50, 100, 500 in the tubes */
  int note_stock;          /* notes of 1000 available for payout */
  int note_escrow;         /* notes the escrow holds at once (1-9) */
  int payout_polls;        /* polls a payout takes (1-99) */
  uint32_t fail_calls;     /* VU_CALL_* bits that fail on this device */
  uint32_t fail_status;    /* the status those calls return */
  char board_text[128];    /* item 0x7D, 127 bytes used */
} vu_device_config;

/* Fills `config` with the default device: id 0x16C91003, serial
 * "VIRTUAL00000001" and description "TAVO payment unit (virtual)", both units
 * fitted (ids 43 01 and 4E 01), 20 coins of each denomination, 10 notes, escrow
 * of 1, payouts done at the first poll, no failing call. */
VU_API void vu_default_config(vu_device_config *config);

/* Removes every device, fault, hook and setting: afterwards the driver lists
 * one default device, time is instant and nothing fails. Devices open at the
 * time become invalid handles. */
VU_API void vu_reset(void);

/* Removes every device (the driver then lists none). */
VU_API void vu_clear_devices(void);

/* Appends a device; returns its index, or VU_ERR_ARGUMENT. */
VU_API int vu_add_device(const vu_device_config *config);

/* Number of devices the driver lists. */
VU_API int vu_device_count(void);

/* Makes FT_ListDevices fail with `status` (0: works again). */
VU_API void vu_fail_list(uint32_t status);

/* Makes the D2XX calls in `calls` (VU_CALL_* bits) fail with `status` on a
 * device from now on; 0 for `calls` restores them all. */
VU_API int vu_fail_calls(int device, uint32_t calls, uint32_t status);

/* One driver call fails once: among the calls in `calls` (VU_CALL_* bits)
 * made on the device from now on, `skip` pass and the next one fails the
 * way `mode` says. Replaces an earlier one-shot failure not yet used. */
#define VU_ONCE_STATUS 1 /* the call returns `status` and does nothing */
#define VU_ONCE_TIMEOUT                                \
  2 /* FT_Read returns no byte with FT_OK, as when the \
       read time-out runs out; the bytes stay queued */
#define VU_ONCE_SHORT                             \
  3 /* FT_Read returns fewer bytes than asked for \
       (half, rounded down) with FT_OK */
VU_API int vu_fail_call_once(int device, uint32_t calls, int skip, int mode,
                             uint32_t status);

/* The driver calls of the kinds in `calls` (VU_CALL_* bits) made on a
 * device's handle since it was added (FT_Close, FT_ResetDevice, the
 * settings, FT_Purge, FT_Write, FT_Read), counted so that a test can aim
 * vu_fail_call_once at one call of one export. */
VU_API uint32_t vu_call_count(int device, uint32_t calls);

/* --------------------------------------------------------------- customer */

/* A customer inserts a coin of `value` (10, 50, 100 or 500). VU_OK when the
 * coin unit took it; VU_REFUSED when acceptance is off (the coin is given
 * back and the unit reports bit 0x08); VU_JAMMED, VU_NO_UNIT. */
VU_API int vu_insert_coin(int device, int value);

/* A customer inserts a note of `value` (only 1000 is taken). VU_OK when the
 * note unit holds it in escrow; VU_REFUSED when acceptance is off or the
 * escrow is full; VU_JAMMED, VU_NO_UNIT, VU_ERR_ARGUMENT (another value). */
VU_API int vu_insert_note(int device, int value);

/* ------------------------------------------------------------------ stock */

/* Sets the stock an attendant loaded. The change counts as money loaded in
 * the conservation check. */
VU_API int vu_set_coin_stock(int device, const int counts[4]);
VU_API int vu_set_note_stock(int device, int count);

/* ----------------------------------------------------------------- faults */

/* Jams (on != 0) or clears a unit. */
VU_API int vu_jam(int device, int unit, int on);

/* Removes (on != 0) or refits a unit. A removed unit answers StNone. */
VU_API int vu_remove_unit(int device, int unit, int on);

/* Cuts the board's power: the backup memory is written as for a stop, the
 * board restarts (silent) as after a reset. */
VU_API int vu_power_fail(int device);

/* The note held in escrow goes back to the customer (a return button, or the
 * unit giving up on it): it counts as never inserted, and the unit reports
 * the refused-note bit 0x40. VU_OK; VU_REFUSED when no note is held. */
VU_API int vu_return_note(int device);

#define VU_FAULT_SILENCE 1 /* no reply; the frame is lost, nothing done */
#define VU_FAULT_BAD_CHECK                           \
  2 /* the command is carried out; a data reply gets \
       a wrong check byte, a one-byte reply arrives  \
       as its status XOR 0x40 */
#define VU_FAULT_SHORT                              \
  3 /* the command is carried out; a data reply     \
       stops after half its data (no check byte), a \
       one-byte reply is lost */
#define VU_FAULT_STATUS                             \
  4 /* nothing is done; the reply is `status` alone \
       (a status that carries data for the command  \
       comes with an empty list) */

/* Kinds 1-4 spoil a reply the unit knows it did not deliver. On a real line
 * the unit cannot know: it sends its reply, takes it as delivered, and what
 * it reported is not reported again. These kinds do that. */
#define VU_FAULT_LOST                                    \
  5 /* the command is carried out, the reply is sent and \
       taken as delivered, but no byte of it arrives */
#define VU_FAULT_GARBLED                                  \
  6 /* as VU_FAULT_BAD_CHECK, but taken as delivered: the \
       next poll does not report the same changes again */
#define VU_FAULT_CUT                                     \
  7 /* as VU_FAULT_SHORT, but taken as delivered: a data \
       reply stops after half its data, a one-byte reply \
       is lost */

typedef struct vu_fault {
  int kind;       /* VU_FAULT_* */
  int command;    /* command byte, -1 for every command */
  int sub;        /* first payload byte (sub-command, selector), -1 any */
  int value;      /* second payload byte (action, control value), -1 any */
  int skip;       /* matching frames answered normally before the fault */
  int count;      /* matching frames faulted, -1 for all from then on */
  uint8_t status; /* VU_FAULT_STATUS: the status byte sent */
} vu_fault;

/* Adds a fault rule to a device; rules are tried in the order added, the
 * first that strikes applies. */
VU_API int vu_add_fault(int device, const vu_fault *fault);
VU_API int vu_clear_faults(int device);

/* Something the customer or the machine does at a chosen moment: when a
 * request frame matching `command`, `sub` and `value` arrives (-1 matches
 * any; `skip` matching frames pass first), just before the unit handles it
 * (`after` 0) or just after it has answered (`after` 1). This places an
 * action exactly between two exchanges of the library, e.g. a second note
 * between the settle that takes a note in and the poll that sees it gone.
 * Each action happens once. */
#define VU_ACT_INSERT_COIN 1 /* arg: the coin's value */
#define VU_ACT_INSERT_NOTE 2 /* a note of 1000 */
#define VU_ACT_RETURN_NOTE 3 /* vu_return_note */
#define VU_ACT_JAM 4         /* arg: VU_COIN or VU_NOTE */
#define VU_ACT_CLEAR_JAM 5   /* arg: VU_COIN or VU_NOTE */
#define VU_ACT_POWER_FAIL 6  /* vu_power_fail */
#define VU_ACT_REMOVE_UNIT 7 /* arg: VU_COIN or VU_NOTE */
#define VU_ACT_REFIT_UNIT 8  /* arg: VU_COIN or VU_NOTE */

typedef struct vu_action {
  int kind;    /* VU_ACT_* */
  int arg;     /* see the kind */
  int command; /* command byte, -1 for every command */
  int sub;     /* first payload byte, -1 any */
  int value;   /* second payload byte, -1 any */
  int skip;    /* matching frames that pass before the action */
  int after;   /* 0: before the frame is handled; 1: after its reply */
} vu_action;

/* Adds an action to a device (VU_ERR_ARGUMENT for an unknown kind). The
 * result of the action itself (a coin refused, say) is not reported. */
VU_API int vu_add_action(int device, const vu_action *action);
VU_API int vu_clear_actions(int device);

/* ------------------------------------------------------------ read back */

typedef struct vu_state {
  /* board */
  int open;          /* a driver handle is open on the device */
  int started;       /* the board was started and not stopped */
  int restarting;    /* silent after a reset or power failure */
  uint8_t clock[7];  /* last clock set, BCD */
  uint8_t dots;      /* display dot mask */
  uint8_t digits[4]; /* display digit codes */
  uint8_t output_port;
  uint8_t buzzer[32];  /* last buzzer pattern */
  int buzzer_length;   /* its length (0: silent) */
  int buzzer_commands; /* buzzer frames received */
  uint32_t meters[15]; /* as in item 0x7A */
  int backup_stored;   /* the backup memory holds a trade */
  uint32_t baud_rate;  /* line settings last set */
  uint32_t read_timeout_ms;
  uint32_t write_timeout_ms;
  /* coin unit */
  int coin_fitted;
  int coin_jammed;
  int coin_accepting; /* acceptance switched on */
  int coin_stock[4];
  int coin_in[4]; /* per-trade counts, as reported */
  int coin_out[4];
  int coin_payout_running;
  uint8_t coin_status; /* status byte as the next report would show */
  /* note unit */
  int note_fitted;
  int note_jammed;
  int note_accepting;
  int note_stock;
  int note_escrow;
  int note_out;
  int note_payout_running;
  uint8_t note_status[3];
  /* traffic */
  uint32_t frames; /* request frames received */
  uint32_t frames_by_command[256];
} vu_state;

VU_API int vu_get_state(int device, vu_state *state);

/* Money conservation, per denomination (index 0-3 the coins of 10, 50, 100,
 * 500; index 4 the note of 1000): loaded + inserted = stock + cash box +
 * escrow + paid out. Coins given back as refused count nowhere. */
typedef struct vu_money_report {
  long loaded[5];   /* initial stock plus what vu_set_*_stock added */
  long inserted[5]; /* taken in from the customer */
  long stock[5];    /* available for payout now */
  long cashbox[5];  /* taken in beyond the stock's capacity */
  long escrow[5];   /* held (notes only) */
  long paid[5];     /* paid out */
  long unpaid;      /* payout amount the stock could not pay */
  long value_in;    /* money taken in, total value */
  long value_out;   /* money paid out, total value */
} vu_money_report;

/* Fills `report` (may be NULL) and returns VU_OK when every denomination
 * balances, 1 when one does not, VU_ERR_DEVICE. */
VU_API int vu_check_money(int device, vu_money_report *report);

/* ------------------------------------------------------------------ time */

typedef struct vu_timing {
  int enabled;       /* 0: instant */
  int real_clock;    /* 1: reads really wait; 0: virtual clock */
  double byte_us;    /* time of one byte on the wire; 0: 10 bits at 38400 */
  double latency_us; /* from the end of a request to its first reply byte */
  double restart_ms; /* how long the board is silent after a reset */
} vu_timing;

/* Sets the time model (NULL: instant) and starts the model clock at 0. */
VU_API void vu_set_timing(const vu_timing *timing);
/* Model time in microseconds (virtual or real clock; 0 when instant). */
VU_API uint64_t vu_now_us(void);

/* ----------------------------------------------------------------- trace */

#define VU_TRACE_REQUEST 1 /* bytes written by the host */
#define VU_TRACE_REPLY 2   /* bytes the unit sent back (0 bytes: silence) */

typedef struct vu_trace_event {
  int device;
  int direction;   /* VU_TRACE_* */
  uint8_t command; /* the request's command byte (also for replies) */
  const uint8_t *bytes;
  uint32_t length;
  uint64_t time_us; /* model time */
} vu_trace_event;

typedef void (*vu_trace_fn)(void *context, const vu_trace_event *event);

/* Installs (or, with NULL, removes) the trace hook. It is called for every
 * frame written and every reply, on the thread of the D2XX call. */
VU_API void vu_set_trace(vu_trace_fn hook, void *context);

/* Writes a one-line description of a traced frame into `text` (command and
 * sub-command names and payload for requests; status and decoded items for
 * replies). Returns the length of the text. */
VU_API size_t vu_describe(const vu_trace_event *event, char *text, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* TAVOVU_H */
