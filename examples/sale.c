/* One whole sale with tavoctl, in C, on the virtual unit: price 1280, the
 * customer pays 1000 + 500, the unit pays 220 back. With a real unit, link
 * its provider instead of the virtual one and leave out the vu_ calls: a
 * person inserts the money. Exit 0 when the sale balanced. */
#include <stdio.h>

#include "tavoctl.h"
#include "tavoctl_text.h"
#include "tavovu.h"

/* The code, what it means and what to do next, from the table. */
static int Fail(const char *step, uint32_t code) {
  char text[256];
  fprintf(stderr, "%s: 0x%04X %s (next: %s)\n", step, (unsigned)code,
          tavoctl_result_message(code, text, sizeof text),
          tavoctl_result_find(code)
              ? tavoctl_next_name(tavoctl_result_find(code)->next)
              : "?");
  return 1;
}

/* Polls the unit; TAVO_GetTAVOData also keeps the trade going (it takes a
 * held note in, and switches acceptance off at the limit). */
static uint32_t Poll(uint32_t h, TavoData *units, PcbData *board) {
  uint32_t code = TAVO_GetTAVOData(h, units);
  return code ? code : TAVO_GetPCBData(h, board);
}

int main(void) {
  const uint32_t price = 1280;
  uint32_t h = 0, code;
  TavoData units;
  PcbData board;
  int i, busy = 1;
  vu_money_report money;

  if ((code = TAVO_Open(&h)) != TAVO_OK) return Fail("open", code);
  if ((code = TAVO_TradeBegin(h)) != TAVO_OK) return Fail("trade", code);
  if ((code = TAVO_Accept(h, price)) != TAVO_OK) return Fail("accept", code);

  /* The customer pays (here the virtual unit plays one); the credit is
   * PcbData.Credit. */
  vu_insert_note(0, 1000);
  for (i = 0; i < 50; ++i) {
    if ((code = Poll(h, &units, &board)) != TAVO_OK) return Fail("poll", code);
    if (board.Credit >= price) break;
    if (i == 2) vu_insert_coin(0, 500);
  }
  if (board.Credit < price) return Fail("customer", TAVO_OK);

  if ((code = TAVO_Charge(h, price)) != TAVO_OK) return Fail("charge", code);
  if ((code = TAVO_PayBack(h)) != TAVO_OK) return Fail("pay back", code);
  /* The change is paid while we poll: done when the credit is 0 and no
   * command is pending (the top byte of each unit's flags). */
  for (i = 0; i < 50 && busy; ++i) {
    if ((code = Poll(h, &units, &board)) != TAVO_OK) return Fail("poll", code);
    busy = board.Credit != 0 || (units.CoinFlags >> 24) != 0 ||
           (units.BillFlags >> 24) != 0;
  }
  if ((code = TAVO_TradeEnd(h)) != TAVO_OK) return Fail("trade end", code);
  TAVO_Close(h);

  if (vu_check_money(0, &money) != VU_OK) return Fail("money", TAVO_OK);
  printf("sold for %u: paid %ld, change %ld\n", (unsigned)price, money.value_in,
         money.value_out);
  return money.value_in - money.value_out == (long)price ? 0 : 1;
}
