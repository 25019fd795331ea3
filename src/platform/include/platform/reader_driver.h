/*
 * The binding to the reader driver: its four C functions with this
 * platform's calling convention and export attribute. libtkrdr.so defines
 * them; the library and its tests call them (see driver/tkrdr.h for their
 * behaviour and status words).
 *
 * POSIX: the C convention, exported with default visibility. Windows (32-bit):
 * __stdcall, exported from TKRDR.dll by its module definition file.
 */
#ifndef PLATFORM_READER_DRIVER_H
#define PLATFORM_READER_DRIVER_H

#if defined(_WIN32) && !defined(_WIN64)
#define TKRDR_CALL __stdcall
#else
#define TKRDR_CALL
#endif

#if defined(_WIN32)
#define TKRDR_EXPORT
#else
#define TKRDR_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

TKRDR_EXPORT int TKRDR_CALL CT_open(const char *portName, int mode, int reserved);
TKRDR_EXPORT int TKRDR_CALL CT_close(int handle);
TKRDR_EXPORT int TKRDR_CALL ICC_reset(int handle, unsigned char *atrLen, unsigned char *atr);
TKRDR_EXPORT int TKRDR_CALL ICC_tsi_api(int handle, int cmdLen, const unsigned char *cmd,
                                        unsigned char *respLen, unsigned char *resp);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_READER_DRIVER_H */
