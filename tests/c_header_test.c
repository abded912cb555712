/* The public header as a C11 application sees it: it compiles as C with
 * warnings as errors, its records have the agreed layout, the exports have
 * the prototypes the applications declare, the code macros give the
 * documented values and the change rule answers as the library pays. The
 * exports are only inspected, never called: no library, no driver. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "tavoctl.h"
#include "tavoctl_change.h"

/* The prototypes, checked without taking the functions' addresses. */
#define TAVO_HAS_TYPE(f, type) _Generic(&(f), type : 1, default : 0)
_Static_assert(TAVO_HAS_TYPE(TAVO_Open, uint32_t(TAVO_CALL *)(uint32_t *)),
               "TAVO_Open");
_Static_assert(TAVO_HAS_TYPE(TAVO_Close, uint32_t(TAVO_CALL *)(uint32_t)),
               "TAVO_Close");
_Static_assert(TAVO_HAS_TYPE(TAVO_Reset, uint32_t(TAVO_CALL *)(uint32_t)),
               "TAVO_Reset");
_Static_assert(TAVO_HAS_TYPE(TAVO_ClearBackup, uint32_t(TAVO_CALL *)(uint32_t)),
               "TAVO_ClearBackup");
_Static_assert(TAVO_HAS_TYPE(TAVO_GetPCBData,
                             uint32_t(TAVO_CALL *)(uint32_t, PcbData *)),
               "TAVO_GetPCBData");
_Static_assert(TAVO_HAS_TYPE(TAVO_GetTAVOData,
                             uint32_t(TAVO_CALL *)(uint32_t, TavoData *)),
               "TAVO_GetTAVOData");
_Static_assert(TAVO_HAS_TYPE(TAVO_GetBackupData,
                             uint32_t(TAVO_CALL *)(uint32_t, TavoData *)),
               "TAVO_GetBackupData");
_Static_assert(TAVO_HAS_TYPE(TAVO_TradeBegin, uint32_t(TAVO_CALL *)(uint32_t)),
               "TAVO_TradeBegin");
_Static_assert(TAVO_HAS_TYPE(TAVO_TradeEnd, uint32_t(TAVO_CALL *)(uint32_t)),
               "TAVO_TradeEnd");
_Static_assert(TAVO_HAS_TYPE(TAVO_AcceptEx,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t,
                                                   uint32_t)),
               "TAVO_AcceptEx");
_Static_assert(TAVO_HAS_TYPE(TAVO_Accept,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t)),
               "TAVO_Accept");
_Static_assert(TAVO_HAS_TYPE(TAVO_Charge,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t)),
               "TAVO_Charge");
_Static_assert(TAVO_HAS_TYPE(TAVO_PayBack, uint32_t(TAVO_CALL *)(uint32_t)),
               "TAVO_PayBack");
_Static_assert(TAVO_HAS_TYPE(TAVO_PayOut,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t)),
               "TAVO_PayOut");
_Static_assert(TAVO_HAS_TYPE(TAVO_7SegDot,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t)),
               "TAVO_7SegDot");
_Static_assert(TAVO_HAS_TYPE(TAVO_7SegNum,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t,
                                                   uint32_t)),
               "TAVO_7SegNum");
_Static_assert(TAVO_HAS_TYPE(TAVO_7SegPtn,
                             uint32_t(TAVO_CALL *)(uint32_t, const uint8_t *)),
               "TAVO_7SegPtn");
_Static_assert(TAVO_HAS_TYPE(TAVO_BuzzCtrl,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t,
                                                   const uint8_t *)),
               "TAVO_BuzzCtrl");
_Static_assert(TAVO_HAS_TYPE(TAVO_OutputPort,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t)),
               "TAVO_OutputPort");
_Static_assert(TAVO_HAS_TYPE(TAVO_UserCnt,
                             uint32_t(TAVO_CALL *)(uint32_t, uint32_t,
                                                   uint32_t)),
               "TAVO_UserCnt");

/* Trade fields where the application finds them. */
_Static_assert(offsetof(PcbData, Meters) + 8 * sizeof(uint32_t) == 176,
               "the charged meter");
_Static_assert(sizeof(((PcbData *)0)->BoardText) == 128, "BoardText");
_Static_assert(sizeof(((TavoData *)0)->CoinIn) == 4, "CoinIn");

static int failures = 0;

static void Expect(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

int main(void) {
  PcbData pcb = {0};
  TavoData tavo = {0};
  const unsigned char *raw = (const unsigned char *)&pcb;

  pcb.TradeId = 0x01020304u;
  pcb.Credit = 0xBEEF;
  Expect(raw[208] == 0x04 && raw[211] == 0x01, "TradeId little-endian at 208");
  Expect(raw[214] == 0xEF && raw[215] == 0xBE, "Credit at 214");
  tavo.CoinFlags = ((uint32_t)TAVO_PENDING_PAYOUT << 24) | TAVO_COIN_LATCHED;
  Expect(((const unsigned char *)&tavo)[15] == 0x02, "pending in the top byte");
  Expect(((const unsigned char *)&tavo)[12] == 0x08, "latched coin bit");

  Expect(TAVO_CODE(TAVO_FN_GETPCBDATA, TAVO_REASON_NOT_OPEN) == 0x0501,
         "no unit open");
  Expect(TAVO_CODE(TAVO_FN_CHARGE, TAVO_REASON_PENDING) == 0x1304, "pending");
  Expect(TAVO_CODE(TAVO_FN_GETTAVODATA, TAVO_REASON_REFRESH + 7) == 0x0637,
         "refresh failed");
  Expect(TAVO_CODE(TAVO_FN_USERCNT, TAVO_REASON_BAD_ARGUMENT) == 0x2673,
         "bad argument");
  Expect(TAVO_IS_BUSY(0x0011u), "0x0011 is busy");
  Expect(TAVO_IS_BUSY(TAVO_FN_USERCNT), "0x0026 is busy");
  Expect(!TAVO_IS_BUSY(0x0000u), "success is not busy");
  Expect(!TAVO_IS_BUSY(0x0501u), "a reason is not busy");
  Expect(!TAVO_IS_BUSY(0x1100u), "a high byte is not busy");
  /* The change rule: two notes, three 10s, a 100 and a 500 in the stock. */
  tavo.BillUnitId[0] = tavo.CoinUnitId[0] = 1;
  tavo.BillStock = 2;
  tavo.CoinStock[0] = 3, tavo.CoinStock[2] = 1, tavo.CoinStock[3] = 1;
  Expect(tavoctl_change_largest(&tavo, 99999) == 2630, "the whole stock");
  Expect(tavoctl_change_largest(&tavo, 2625) == 2620, "below a limit");
  Expect(tavoctl_change_largest(&tavo, 1590) == 1530, "no 50 for 1590");
  tavo.CoinOut[0] = 98; /* one more 10 would pass the 99 counted */
  Expect(tavoctl_change_largest(&tavo, 99999) == 2610, "out-count of 99");
  tavo.CoinUnitId[0] = 0;
  Expect(tavoctl_change_largest(&tavo, 99999) == 2000, "coin unit gone");
  return failures == 0 ? 0 : 1;
}
