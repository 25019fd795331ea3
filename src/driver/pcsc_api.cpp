#include "pcsc_api.h"

// pcsc-lite's buffer limit; Windows' winscard.h names none.
#ifndef MAX_READERNAME
#define MAX_READERNAME 128
#endif

namespace tkrdr {
namespace {

constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

class SystemPcsc : public PcscApi {
 public:
  LONG establishContext(SCARDCONTEXT* context) override {
    return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context);
  }
  LONG releaseContext(SCARDCONTEXT context) override { return SCardReleaseContext(context); }
  LONG listReaders(SCARDCONTEXT context, char* names, DWORD* length) override {
    return SCardListReaders(context, nullptr, names, length);
  }
  LONG connect(SCARDCONTEXT context, const char* reader, SCARDHANDLE* card, DWORD* protocol) override {
    return SCardConnect(context, reader, SCARD_SHARE_SHARED, kProtocols, card, protocol);
  }
  LONG reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) override {
    return SCardReconnect(card, SCARD_SHARE_SHARED, kProtocols, initialization, protocol);
  }
  LONG disconnect(SCARDHANDLE card, DWORD disposition) override { return SCardDisconnect(card, disposition); }
  LONG beginTransaction(SCARDHANDLE card) override { return SCardBeginTransaction(card); }
  LONG endTransaction(SCARDHANDLE card, DWORD disposition) override {
    return SCardEndTransaction(card, disposition);
  }
  LONG transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD commandLength, BYTE* response,
                DWORD* responseLength) override {
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    return SCardTransmit(card, pci, command, commandLength, nullptr, response, responseLength);
  }
  LONG status(SCARDHANDLE card, BYTE* atr, DWORD* atrLength) override {
    char readerName[MAX_READERNAME];
    DWORD readerLength = sizeof readerName;
    DWORD state = 0;
    DWORD protocol = 0;
    return SCardStatus(card, readerName, &readerLength, &state, &protocol, atr, atrLength);
  }
};

}  // namespace

PcscApi& systemPcsc() {
  static SystemPcsc* api = new SystemPcsc;  // used until the process ends
  return *api;
}

}  // namespace tkrdr
