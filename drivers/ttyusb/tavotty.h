/*
 * tavotty.h - a D2XX provider for Linux over the kernel's own USB-serial
 * driver.
 *
 * On Linux the bridge is already driven by the kernel (ftdi_sio), which
 * offers it as a tty, /dev/ttyUSBn. libtavotty.so defines the FT_* functions
 * that tavoctl calls on top of that tty: the devices are the USB-serial ttys
 * the kernel lists under /sys/bus/usb-serial/devices, in the order of their
 * numbers; the device id is the USB vendor id << 16 | product id and the
 * serial number the USB serial-number string, both read from sysfs. Link an
 * application with libtavoctl.so and libtavotty.so (or load this library
 * with RTLD_GLOBAL before libtavoctl.so) and the library drives a real unit.
 *
 * What the tty cannot do: FT_SetChars is accepted and has no effect (the
 * library disables both characters anyway); FT_ListDevices answers only the
 * number-only query.
 */
#ifndef TAVOTTY_H
#define TAVOTTY_H

#ifdef __cplusplus
extern "C" {
#endif

/* Where to look for the devices: the sysfs root ("/sys") and the folder of
 * the device nodes ("/dev"). For tests; a null pointer restores the
 * default. */
__attribute__((visibility("default"))) void tavotty_set_roots(const char *sysfs,
                                                              const char *dev);

#ifdef __cplusplus
}
#endif

#endif
