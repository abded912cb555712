// The bridge vendor's D2XX driver interface: the few FT_* functions this
// library calls, with the vendor's documented prototypes and constants.
//
// This is the library's only way to the unit. On Windows the functions come
// from FTD2XX.DLL, imported by ordinal; elsewhere from whatever D2XX provider
// the process has loaded (the vendor's library, the project's virtual unit or
// real-USB provider, or a test's scripted device). Providers include this
// header to define the same functions.
#ifndef TAVOCTL_D2XX_H
#define TAVOCTL_D2XX_H

#ifdef _WIN32
#define FTAPI __stdcall
typedef unsigned long DWORD;  // 32 bits on Windows
typedef unsigned long ULONG;
#else
#define FTAPI
typedef unsigned int DWORD;  // the vendor's Linux headers use unsigned int
typedef unsigned int ULONG;
#endif
typedef void *FT_HANDLE;
typedef ULONG FT_STATUS;
typedef ULONG FT_DEVICE;
typedef unsigned char UCHAR;
typedef unsigned short USHORT;

enum : FT_STATUS {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_OTHER_ERROR = 18,
};

#define FT_LIST_NUMBER_ONLY 0x80000000u
#define FT_PURGE_RX 1u
#define FT_PURGE_TX 2u
#define FT_BITS_8 8u
#define FT_STOP_BITS_1 0u
#define FT_PARITY_NONE 0u
#define FT_FLOW_NONE 0x0000u

#ifdef __cplusplus
extern "C" {
#endif

FT_STATUS FTAPI FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags);
FT_STATUS FTAPI FT_Open(int deviceNumber, FT_HANDLE *pHandle);
FT_STATUS FTAPI FT_Close(FT_HANDLE ftHandle);
FT_STATUS FTAPI FT_ResetDevice(FT_HANDLE ftHandle);
FT_STATUS FTAPI FT_GetDeviceInfo(FT_HANDLE ftHandle, FT_DEVICE *lpftDevice,
                                 DWORD *lpdwID, char *SerialNumber,
                                 char *Description, void *Dummy);
FT_STATUS FTAPI FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate);
FT_STATUS FTAPI FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength,
                                          UCHAR StopBits, UCHAR Parity);
FT_STATUS FTAPI FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl,
                                  UCHAR XonChar, UCHAR XoffChar);
FT_STATUS FTAPI FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar,
                            UCHAR EventCharEnabled, UCHAR ErrorChar,
                            UCHAR ErrorCharEnabled);
FT_STATUS FTAPI FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout,
                               ULONG WriteTimeout);
FT_STATUS FTAPI FT_Purge(FT_HANDLE ftHandle, ULONG Mask);
FT_STATUS FTAPI FT_Write(FT_HANDLE ftHandle, void *lpBuffer,
                         DWORD dwBytesToWrite, DWORD *lpBytesWritten);
FT_STATUS FTAPI FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead,
                        DWORD *lpBytesReturned);

#ifdef __cplusplus
}
#endif

#endif  // TAVOCTL_D2XX_H
