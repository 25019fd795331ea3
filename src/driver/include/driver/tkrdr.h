/*
 * tkrdr.h - the reader driver: four C functions that open a reader port,
 * reset the card in it and exchange command APDUs with it.
 *
 * Ports are named "USB1", "USB2", ... and mapped to backends by the
 * environment variable PELU7_READERS ("PORT=BACKEND" pairs joined by ';'):
 *   vtoken:PATH   a file-backed virtual PELU7 token (created factory-fresh when missing)
 *   vtoken:       an in-memory virtual token that lives as long as the process
 *   pcsc:NAME     the PC/SC reader of that name
 * With PELU7_READERS unset, USBn is the n-th PC/SC reader sorted by name.
 *
 * Status words: ICC_tsi_api and ICC_reset return the card's SW1 SW2 as one
 * integer (SW1 in bits 8-15). The driver's own failures come back as values
 * with SW1 = 0xF0, which no ISO 7816 card ever sends, so they can never be
 * taken for the success status 90 00 nor for a card's answer:
 *   0xF001  no such handle (never opened, or closed)
 *   0xF002  the reader service (pcscd) is not reachable
 *   0xF003  no card in the reader, or the card was removed
 *   0xF004  the exchange with the card failed
 *   0xF005  bad arguments (null buffer, command length outside 4..261)
 *   0xF006  the virtual token's file could not be read or written
 * At most 255 response data bytes are ever written to the response buffer.
 */
#ifndef TKRDR_H
#define TKRDR_H

#include "platform/reader_driver.h"

#define TKRDR_SW_NO_HANDLE   0xF001
#define TKRDR_SW_NO_SERVICE  0xF002
#define TKRDR_SW_NO_CARD     0xF003
#define TKRDR_SW_COMM        0xF004
#define TKRDR_SW_BAD_ARGS    0xF005
#define TKRDR_SW_STORAGE     0xF006

/* The four functions, declared in platform/reader_driver.h:
 *
 * CT_open(portName, mode, reserved): opens the named port; mode and reserved
 * are passed as 1 and 0. Returns a handle (>= 0) or -1 when the port cannot
 * be opened.
 *
 * CT_close(handle): closes a handle; returns 0, or -1 for a handle that is
 * not open.
 *
 * ICC_reset(handle, atrLen, atr): resets the card (cold reset). Writes the
 * answer-to-reset (at most 33 bytes) and its length when the pointers are not
 * null. Returns the status word 90 00 on success.
 *
 * ICC_tsi_api(handle, cmdLen, cmd, respLen, resp): sends one command APDU and
 * returns the status word; the response data (at most 255 bytes) goes to resp
 * and its count to *respLen.
 */

/* A fifth function, optional for the library that uses a driver:
 *
 * ICC_release(): gives back at once every card that this process keeps to
 * itself between commands (a PC/SC transaction, a virtual token's lock), so
 * that another program's first command goes through without waiting for the
 * idle gap. A card that another thread of the process is using right now is
 * left to its idle gap. Returns 0. The library calls it, when the driver
 * exports it, as it releases its lock between processes, and looks it up at
 * run time, so a driver without it still works.
 */
#ifdef __cplusplus
extern "C" {
#endif
TKRDR_EXPORT int TKRDR_CALL ICC_release(void);
#ifdef __cplusplus
}
#endif

#endif /* TKRDR_H */
