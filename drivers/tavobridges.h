/*
 * tavobridges.h - what the project's Linux D2XX providers (libtavoftdi.so,
 * libtavotty.so) offer beside the FT_* functions.
 *
 * The D2XX functions the library calls cannot say which bridges are
 * attached, which of them are units, or why a unit cannot be opened; nor
 * can an application choose one of several units through them. These two
 * functions can. Both are optional: a program looks them up in the
 * provider (dlsym) and does without them when they are missing, as with the
 * bridge vendor's own library.
 */
#ifndef TAVOBRIDGES_H
#define TAVOBRIDGES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One USB-serial bridge as the provider sees it. */
typedef struct tavo_bridge {
  uint32_t id;          /* USB vendor id << 16 | product id */
  char serial[64];      /* serial-number text, "" when not read */
  char description[64]; /* the USB product string, "" when not read */
  char location[64];    /* where it sits: "usb 1-1.2", "/dev/ttyUSB0" */
  int unit;             /* 1: it has one of the ids the provider drives */
  int index;            /* its index for FT_Open, -1 when not listed */
  char problem[512];    /* "" when usable; otherwise why not, in words */
} tavo_bridge;

/* Fills up to `max` entries of `bridges` (units first, in FT_Open's order)
 * and returns how many bridges there are, which may be more than `max`. */
typedef int (*tavo_bridges_list_fn)(tavo_bridge *bridges, int max);
#define TAVO_BRIDGES_LIST "tavo_bridges_list"

/* From now on the provider lists (FT_ListDevices, FT_Open) only the unit
 * with this serial number; NULL or "" lists every unit again. The
 * environment variable TAVO_DEVICE, read when the provider loads, does the
 * same for programs that do not call this. */
typedef void (*tavo_bridges_select_fn)(const char *serial);
#define TAVO_BRIDGES_SELECT "tavo_bridges_select"

#ifdef __cplusplus
}
#endif

#endif
