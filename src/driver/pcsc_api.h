// The PC/SC calls the backend makes, behind one small interface: the system's
// (pcsc-lite, or winscard.dll on Windows) in the product, a scripted reader
// service in tests, where Wine's winscard.dll reaches none.
#pragma once

#include <winscard.h>

namespace tkrdr {

class PcscApi {
 public:
  virtual ~PcscApi() = default;
  virtual LONG establishContext(SCARDCONTEXT* context) = 0;
  virtual LONG releaseContext(SCARDCONTEXT context) = 0;
  // SCardListReaders for all groups: a multi-string, or its length when
  // names is null.
  virtual LONG listReaders(SCARDCONTEXT context, char* names, DWORD* length) = 0;
  // A shared connection with T=0 or T=1.
  virtual LONG connect(SCARDCONTEXT context, const char* reader, SCARDHANDLE* card, DWORD* protocol) = 0;
  virtual LONG reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) = 0;
  virtual LONG disconnect(SCARDHANDLE card, DWORD disposition) = 0;
  virtual LONG beginTransaction(SCARDHANDLE card) = 0;
  virtual LONG endTransaction(SCARDHANDLE card, DWORD disposition) = 0;
  virtual LONG transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD commandLength, BYTE* response,
                        DWORD* responseLength) = 0;
  // The card's answer-to-reset.
  virtual LONG status(SCARDHANDLE card, BYTE* atr, DWORD* atrLength) = 0;
};

// The system's PC/SC service.
PcscApi& systemPcsc();

}  // namespace tkrdr
