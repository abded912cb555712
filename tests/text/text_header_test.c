/* tavoctl_text.h as a C99 application includes it, with warnings as errors:
 * the table is ordered and complete in its columns, the busy codes are
 * exactly the function numbers tavoctl.h names, and the message helper
 * formats and cuts as documented. Exits non-zero on the first failure. */
#include <stdio.h>
#include <string.h>

#include "tavoctl.h"
#include "tavoctl_text.h"

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static const unsigned kFunctions[] = {
    TAVO_FN_OPEN,          TAVO_FN_CLOSE,      TAVO_FN_CLEARBACKUP,
    TAVO_FN_RESET,         TAVO_FN_GETPCBDATA, TAVO_FN_GETTAVODATA,
    TAVO_FN_GETBACKUPDATA, TAVO_FN_TRADEBEGIN, TAVO_FN_TRADEEND,
    TAVO_FN_ACCEPTEX,      TAVO_FN_CHARGE,     TAVO_FN_PAYBACK,
    TAVO_FN_PAYOUT,        TAVO_FN_7SEGDOT,    TAVO_FN_7SEGNUM,
    TAVO_FN_7SEGPTN,       TAVO_FN_BUZZCTRL,   TAVO_FN_OUTPUTPORT,
    TAVO_FN_USERCNT};

static int IsFunction(unsigned code) {
  size_t i;
  for (i = 0; i < sizeof kFunctions / sizeof kFunctions[0]; ++i) {
    if (kFunctions[i] == code) return 1;
  }
  return 0;
}

int main(void) {
  size_t count = 0, i, busy = 0;
  const tavoctl_result *table = tavoctl_result_table(&count);
  const tavoctl_result *r;
  char line[256];

  CHECK(count > 200);
  CHECK(table[0].code == TAVO_OK && table[0].next == TAVOCTL_NEXT_NONE);
  for (i = 0; i < count; ++i) {
    const tavoctl_result *e = &table[i];
    CHECK(i == 0 || e->code > table[i - 1].code);
    CHECK(e->source[0] != '\0' && e->text[0] != '\0');
    CHECK(strcmp(tavoctl_next_name(e->next), "?") != 0);
    CHECK(tavoctl_result_find(e->code) == e);
    if (TAVO_IS_BUSY(e->code)) {
      ++busy;
      CHECK(IsFunction(e->code));
      CHECK(strcmp(e->source, "busy") == 0);
      CHECK(e->next == TAVOCTL_NEXT_RETRY);
    }
  }
  CHECK(busy == sizeof kFunctions / sizeof kFunctions[0]);

  r = tavoctl_result_find(TAVO_CODE(TAVO_FN_CHARGE, 0x75));
  CHECK(r != NULL && r->next == TAVOCTL_NEXT_PAY_BACK);
  CHECK(r != NULL && strcmp(r->source, "TAVO_Charge") == 0);
  CHECK(strcmp(tavoctl_next_name(TAVOCTL_NEXT_PAY_BACK), "pay-back") == 0);
  CHECK(tavoctl_result_find(0x0118) == NULL);
  CHECK(tavoctl_result_find(0x10000u | TAVO_CODE(TAVO_FN_CHARGE, 0x75)) ==
        NULL);

  tavoctl_result_message(0x1375, line, sizeof line);
  CHECK(strncmp(line, "TAVO_Charge: the change", 23) == 0);
  tavoctl_result_message(TAVO_OK, line, sizeof line);
  CHECK(strcmp(line, "success") == 0);
  tavoctl_result_message(0x0118, line, sizeof line);
  CHECK(strcmp(line, "unknown result code 0x0118") == 0);
  /* Cut to the buffer, always terminated; a size of 0 writes nothing. */
  CHECK(strcmp(tavoctl_result_message(0x1375, line, 8), "TAVO_Ch") == 0);
  line[0] = 'x';
  tavoctl_result_message(0x1375, line, 0);
  CHECK(line[0] == 'x');

  if (failures) return 1;
  printf("tavoctl_text.h: %u codes checked\n", (unsigned)count);
  return 0;
}
