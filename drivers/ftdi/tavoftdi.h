/*
 * tavoftdi.h - a D2XX provider for Linux in user space, over libftdi1 and
 * libusb-1.0.
 *
 * libtavoftdi.so defines the FT_* functions that tavoctl calls and drives
 * the unit's USB-serial bridge itself, through the kernel's usbfs device
 * node (/dev/bus/usb/BBB/DDD): no kernel serial driver, no root. Load it
 * before libtavoctl.so (link both, or dlopen it with RTLD_GLOBAL first, or
 * `tavo --provider libtavoftdi.so`).
 *
 * Devices. FT_ListDevices and FT_Open see only the bridges that carry the
 * unit's USB ids, vendor 0x16C9 with product 0x1003 or 0x1403 (plus any id
 * added with FT_SetVIDPID), in a stable order: by bus number, then by the
 * chain of hub ports. No other USB device is opened or touched. With
 * TAVO_DEVICE=SERIAL in the environment, or after
 * tavo_bridges_select("SERIAL") (tavobridges.h), only the unit with that
 * serial number is listed. FT_ListDevices also answers by index with the
 * serial number (FT_OPEN_BY_SERIAL_NUMBER) or description.
 *
 * Open. FT_Open detaches the kernel's ftdi_sio driver if it is bound to
 * the bridge, claims the interface (a second process gets
 * FT_DEVICE_NOT_OPENED), and sets the bridge's latency timer to 1 ms, or
 * the lowest value the chip takes. The chip holds received bytes until it
 * has 62 of them or its latency timer runs out (16 ms from the factory);
 * the unit's replies are a few bytes long, so at 16 ms every exchange would
 * wait up to 16 ms for its reply.
 *
 * Device information. FT_GetDeviceInfo gives the type 5 (FT232R-class),
 * the id (vendor << 16 | product), and the serial number and product
 * strings from the USB descriptors, each ending in a 0 (16 and 64 bytes).
 *
 * Transfers. FT_Read returns when all the bytes asked for have arrived or
 * the read time-out of FT_SetTimeouts has run out (then with fewer bytes
 * and FT_OK, as the vendor's driver does); a time-out of 0 waits without
 * end. FT_Write hands the bytes to the chip. A bridge that is unplugged
 * makes every call on its handle fail with FT_IO_ERROR until it is closed.
 *
 * Calls on handles are serialised by one lock.
 */
#ifndef TAVOFTDI_H
#define TAVOFTDI_H

#include "tavobridges.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The vendor's call to add a USB id to the devices listed (vid, pid). */
__attribute__((visibility("default"))) unsigned int FT_SetVIDPID(
    unsigned int dwVID, unsigned int dwPID);

__attribute__((visibility("default"))) int tavo_bridges_list(
    tavo_bridge *bridges, int max);
__attribute__((visibility("default"))) void tavo_bridges_select(
    const char *serial);

#ifdef __cplusplus
}
#endif

#endif
