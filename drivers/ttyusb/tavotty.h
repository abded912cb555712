/*
 * tavotty.h - a D2XX provider for Linux over the kernel's own USB-serial
 * driver.
 *
 * On Linux the bridge can be driven by the kernel (ftdi_sio), which offers
 * it as a tty, /dev/ttyUSBn, once it knows the unit's USB ids (the udev
 * rule packaging/udev/70-tavoctl.rules tells it). libtavotty.so defines the
 * FT_* functions that tavoctl calls on top of that tty. Link an application
 * with libtavoctl.so and libtavotty.so (or load this library with
 * RTLD_GLOBAL before libtavoctl.so) and the library drives a real unit.
 *
 * Devices. Each USB-serial tty the kernel lists under
 * /sys/bus/usb-serial/devices is identified from sysfs alone (the USB
 * vendor and product id and serial-number string of the device that
 * carries it) before anything opens it. Only the ttys of units (vendor
 * 0x16C9, product 0x1003 or 0x1403) are listed, in the order of their
 * numbers: the tty of a receipt printer or a modem on the same machine is
 * never opened, configured or flushed. With TAVO_DEVICE=SERIAL in the
 * environment, or after tavo_bridges_select("SERIAL") (tavobridges.h),
 * only the unit with that serial number is listed.
 *
 * Open. FT_Open takes the tty for itself: an exclusive flock() (another
 * program that asks gets FT_DEVICE_NOT_OPENED) and TIOCEXCL. It asks for
 * the bridge's latency timer at 1 ms, through the latency_timer attribute
 * where the process may write it and through the low-latency serial flag,
 * which ftdi_sio turns into 1 ms; at the factory setting of 16 ms each
 * reply would wait up to 16 ms in the chip.
 *
 * What the tty cannot do: FT_SetChars is accepted and has no effect (the
 * library disables both characters anyway); FT_ListDevices answers only the
 * number-only query.
 */
#ifndef TAVOTTY_H
#define TAVOTTY_H

#include "tavobridges.h"

#ifdef __cplusplus
extern "C" {
#endif

__attribute__((visibility("default"))) int tavo_bridges_list(
    tavo_bridge *bridges, int max);
__attribute__((visibility("default"))) void tavo_bridges_select(
    const char *serial);

/* Where to look for the devices: the sysfs root ("/sys") and the folder of
 * the device nodes ("/dev"). For tests; a null pointer restores the
 * default. */
__attribute__((visibility("default"))) void tavotty_set_roots(const char *sysfs,
                                                              const char *dev);

#ifdef __cplusplus
}
#endif

#endif
