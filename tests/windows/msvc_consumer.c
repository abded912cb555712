/* An application as Microsoft's tool chain builds one: compiled for the
 * MSVC ABI, linked with tavoctl.lib and no C runtime, run beside
 * tavoctl.dll and the virtual unit as FTD2XX.DLL. Calls exports of one,
 * two and three arguments, so that on 32-bit Windows a wrong __stdcall
 * argument size in the import library or the DLL leaves the stack off and
 * fails the run. The exit code is 0, or the number of the step that
 * failed. */
#include "tavoctl.h"

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

static int Starts(const uint8_t *text, const char *prefix) {
  for (; *prefix; ++prefix, ++text) {
    if (*text != (uint8_t)*prefix) return 0;
  }
  return 1;
}

static unsigned Run(void) {
  uint32_t h = 0;
  PcbData board;
  TavoData units;
  if (TAVO_Open(&h) != TAVO_OK || h == 0) return 1;
  if (TAVO_GetPCBData(h, &board) != TAVO_OK) return 2;
  if (!Starts(board.SerialNo, "VIRTUAL") || board.Credit != 0) return 3;
  if (TAVO_GetTAVOData(h, &units) != TAVO_OK || units.BillStock != 10) return 4;
  if (TAVO_7SegNum(h, 3, 45) != TAVO_OK) return 5;
  if (TAVO_Charge(h, 100) != TAVO_CODE(TAVO_FN_CHARGE, TAVO_REASON_NO_TRADE)) {
    return 6;
  }
  if (TAVO_UserCnt(h, 3, 1) != TAVO_CODE(TAVO_FN_USERCNT, 0x73)) return 7;
  if (TAVO_Close(h) != TAVO_OK) return 8;
  if (TAVO_Close(h) != 0x0201) return 9;
  return 0;
}

void start(void) { ExitProcess(Run()); }
