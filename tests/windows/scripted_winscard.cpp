// A stand-in for winscard.dll: the scripted reader service (one reader, one
// card answering 9000) behind the PC/SC functions that TKRDR.dll imports, so
// that the DLLs run their PC/SC backend under Wine, whose own winscard.dll
// reaches no service. ScriptedWinscard_Events hands the calls seen so far to
// the test, one per line.
#define WINSCARDDATA  // defined here rather than imported
#include <windows.h>

#include <cstring>
#include <string>

#include "support/scripted_pcsc.h"

namespace {

testsupport::ScriptedPcsc& service() {
  static auto* scripted = new testsupport::ScriptedPcsc;  // lives as long as the process
  return *scripted;
}

}  // namespace

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};

LONG WINAPI SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  return service().establishContext(context);
}
LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) { return service().releaseContext(context); }
LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR, LPSTR names, LPDWORD length) {
  return service().listReaders(context, names, length);
}
LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD, DWORD, LPSCARDHANDLE card, LPDWORD protocol) {
  return service().connect(context, reader, card, protocol);
}
LONG WINAPI SCardReconnect(SCARDHANDLE card, DWORD, DWORD, DWORD initialization, LPDWORD protocol) {
  return service().reconnect(card, initialization, protocol);
}
LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition) { return service().disconnect(card, disposition); }
LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) { return service().beginTransaction(card); }
LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
  return service().endTransaction(card, disposition);
}
LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST send, LPCBYTE command, DWORD commandLength,
                          LPSCARD_IO_REQUEST, LPBYTE response, LPDWORD responseLength) {
  return service().transmit(card, send->dwProtocol, command, commandLength, response, responseLength);
}
LONG WINAPI SCardStatusA(SCARDHANDLE card, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE atr, LPDWORD atrLength) {
  return service().status(card, atr, atrLength);
}

// The calls so far, one per line, into buffer (cut to size, NUL-terminated);
// returns their full length. Forgets them, even those cut off.
DWORD WINAPI ScriptedWinscard_Events(char* buffer, DWORD size) {
  std::string text;
  for (const std::string& event : service().events()) text += event + "\n";
  service().clearEvents();
  if (size > 0) {
    const std::size_t copied = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
  }
  return static_cast<DWORD>(text.size());
}

}  // extern "C"
