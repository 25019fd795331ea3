// A reader service for the PC/SC backend's tests: one reader with one card,
// reached through the backend's PcscApi seam instead of pcscd or
// winscard.dll. It records every call in order ("begin", "end", "transmit
// 00A4000002A001", "reconnect", ...), fails chosen calls, and answers like a
// card with a current file: SELECT makes the named file current, READ BINARY
// answers the current file's id, every other command 9000.
//
//   testsupport::ScriptedPcsc pcsc;
//   auto backend = tkrdr::openPcscBackend("Reader", pcsc, timing);
//   backend->transmit(select);
//   EXPECT_EQ(pcsc.events(), (std::vector<std::string>{"connect", "begin", "transmit 00A4..."}));
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/pcsc_api.h"

namespace testsupport {

class ScriptedPcsc : public tkrdr::PcscApi {
 public:
  // The events since construction or clearEvents().
  std::vector<std::string> events() const;
  void clearEvents();
  // Waits until the event has been recorded count times in all; false when
  // it has not within limit (a generous bound: the time is not what is tested).
  bool waitForEvent(const std::string& event, int count = 1,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // The next call of that kind returns rv instead.
  void failNextTransmit(LONG rv);
  void failNextBegin(LONG rv);
  bool transactionHeld() const;
  // Pulls the card out (connect answers SCARD_E_NO_SMARTCARD, and status and
  // begin on a connection made before answer SCARD_W_REMOVED_CARD) or puts
  // it back; a connection made before stays dead until made again.
  void setCardPresent(bool present);

  LONG establishContext(SCARDCONTEXT* context) override;
  LONG releaseContext(SCARDCONTEXT context) override;
  LONG listReaders(SCARDCONTEXT context, char* names, DWORD* length) override;
  LONG connect(SCARDCONTEXT context, const char* reader, SCARDHANDLE* card, DWORD* protocol) override;
  LONG reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) override;
  LONG disconnect(SCARDHANDLE card, DWORD disposition) override;
  LONG beginTransaction(SCARDHANDLE card) override;
  LONG endTransaction(SCARDHANDLE card, DWORD disposition) override;
  LONG transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD commandLength, BYTE* response,
                DWORD* responseLength) override;
  LONG status(SCARDHANDLE card, BYTE* atr, DWORD* atrLength) override;

  static constexpr const char* kReaderName = "Scripted Reader 00 00";

 private:
  void record(std::string event);

  mutable std::mutex mutex_;
  mutable std::condition_variable recorded_;
  std::vector<std::string> events_;
  std::optional<LONG> transmitFailure_;
  std::optional<LONG> beginFailure_;
  bool held_ = false;
  bool present_ = true;
  int insertions_ = 0;       // moves at every putting back
  int connectedAt_ = 0;      // insertions_ when the connection was made
  std::uint8_t currentFile_[2] = {0x3F, 0x00};
};

}  // namespace testsupport
