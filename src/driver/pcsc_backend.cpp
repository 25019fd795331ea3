#include "pcsc_backend.h"

#include <winscard.h>

#include <algorithm>
#include <mutex>
#include <utility>

// pcsc-lite's buffer limits; Windows' winscard.h names none.
#ifndef MAX_READERNAME
#define MAX_READERNAME 128
#endif
#ifndef MAX_ATR_SIZE
#define MAX_ATR_SIZE 33
#endif
#ifndef MAX_BUFFER_SIZE
#define MAX_BUFFER_SIZE 264
#endif

#include "card/vocabulary.h"
#include "driver/tkrdr.h"
#include "pcsc_status.h"
#include "response_chaining.h"

namespace tkrdr {
namespace {

constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

// A PC/SC context released when it goes out of scope.
class Context {
 public:
  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { release(); }

  // SCardEstablishContext fails at once when the daemon's socket is missing.
  LONG establish() {
    release();
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &handle_);
    valid_ = rv == SCARD_S_SUCCESS;
    return rv;
  }
  void release() {
    if (valid_) SCardReleaseContext(handle_);
    valid_ = false;
  }
  SCARDCONTEXT get() const { return handle_; }

 private:
  SCARDCONTEXT handle_ = 0;
  bool valid_ = false;
};

class PcscBackend : public Backend {
 public:
  explicit PcscBackend(std::string reader) : reader_(std::move(reader)) {}
  PcscBackend(const PcscBackend&) = delete;
  PcscBackend& operator=(const PcscBackend&) = delete;
  ~PcscBackend() override { disconnect(SCARD_LEAVE_CARD); }

  // Establishes the context and connects to the card; a PC/SC result code.
  LONG connect() {
    disconnect(SCARD_LEAVE_CARD);
    LONG rv = context_.establish();
    if (rv == SCARD_S_SUCCESS) {
      rv = SCardConnect(context_.get(), reader_.c_str(), SCARD_SHARE_SHARED, kProtocols, &card_,
                        &protocol_);
    }
    connected_ = rv == SCARD_S_SUCCESS;
    connectFailure_ = connected_ ? 0 : statusForPcscError(rv);
    return rv;
  }

  // One command, whole: its GET RESPONSE (after 61xx) or its repeat with the
  // right length (after 6Cxx) must be the card's very next command, or the
  // card hands the waiting answer to another program's GET RESPONSE, or drops
  // it. So the exchange runs inside a PC/SC transaction, which keeps other
  // programs' commands out until it ends.
  //
  // When another program resets the card, pcscd reports SCARD_W_RESET_CARD on
  // our next call without doing it. The connection is then re-established
  // once and the call made again; the card's volatile state (login, current
  // file) is gone, so commands that relied on it are refused by the card
  // itself.
  CardAnswer transmit(std::span<const std::uint8_t> command) override {
    std::lock_guard lock(mutex_);
    if (!connected_) return CardAnswer{{}, connectFailure_};
    LONG rv = SCardBeginTransaction(card_);
    if (rv == SCARD_W_RESET_CARD && reconnect(SCARD_LEAVE_CARD) == SCARD_S_SUCCESS) {
      rv = SCardBeginTransaction(card_);
    }
    if (rv != SCARD_S_SUCCESS) return CardAnswer{{}, statusForPcscError(rv)};
    const RawSend send = [&](std::span<const std::uint8_t> apdu) {
      LONG sent = SCARD_S_SUCCESS;
      return sendRaw(apdu, sent);
    };
    CardAnswer answer = exchangeWithProcedureWords(command, send);
    SCardEndTransaction(card_, SCARD_LEAVE_CARD);
    return answer;
  }

  // A cold reset (power off and on). When the connection itself is gone (the
  // reader or the daemon came back), the context and connection are made
  // afresh, so a reset is also how a handle recovers from a removed card.
  int reset() override {
    std::lock_guard lock(mutex_);
    LONG rv = connected_ ? reconnect(SCARD_UNPOWER_CARD) : SCARD_E_INVALID_HANDLE;
    if (rv != SCARD_S_SUCCESS) rv = connect();
    return rv == SCARD_S_SUCCESS ? card::kSwOk : statusForPcscError(rv);
  }

  std::vector<std::uint8_t> atr() override {
    std::lock_guard lock(mutex_);
    if (!connected_) return {};
    char readerName[MAX_READERNAME];
    DWORD readerLength = sizeof readerName;
    DWORD state = 0;
    DWORD protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    const LONG rv =
        SCardStatus(card_, readerName, &readerLength, &state, &protocol, atr, &atrLength);
    if (rv != SCARD_S_SUCCESS || atrLength > sizeof atr) return {};
    return std::vector<std::uint8_t>(atr, atr + atrLength);
  }

 private:
  // One SCardTransmit with the control information of the active protocol.
  RawReply sendRaw(std::span<const std::uint8_t> apdu, LONG& rv) {
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    BYTE received[MAX_BUFFER_SIZE];
    DWORD receivedLength = sizeof received;
    rv = SCardTransmit(card_, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, received,
                       &receivedLength);
    if (rv != SCARD_S_SUCCESS) return RawReply{statusForPcscError(rv), {}};
    if (receivedLength > sizeof received) return RawReply{TKRDR_SW_COMM, {}};
    return RawReply{0, std::vector<std::uint8_t>(received, received + receivedLength)};
  }

  LONG reconnect(DWORD initialization) {
    return SCardReconnect(card_, SCARD_SHARE_SHARED, kProtocols, initialization, &protocol_);
  }

  void disconnect(DWORD disposition) {
    if (connected_) SCardDisconnect(card_, disposition);
    connected_ = false;
  }

  std::mutex mutex_;
  std::string reader_;
  Context context_;
  SCARDHANDLE card_ = 0;
  DWORD protocol_ = SCARD_PROTOCOL_UNDEFINED;
  bool connected_ = false;
  int connectFailure_ = TKRDR_SW_NO_CARD;  // what commands answer while not connected
};

}  // namespace

std::vector<std::string> listPcscReaders() {
  Context context;
  if (context.establish() != SCARD_S_SUCCESS) return {};
  DWORD length = 0;
  if (SCardListReaders(context.get(), nullptr, nullptr, &length) != SCARD_S_SUCCESS) return {};
  std::vector<char> buffer(length + 1, '\0');
  if (SCardListReaders(context.get(), nullptr, buffer.data(), &length) != SCARD_S_SUCCESS) return {};
  buffer.resize(std::min<std::size_t>(length, buffer.size() - 1) + 1, '\0');

  // A multi-string: names separated by NUL, closed by an empty name.
  std::vector<std::string> readers;
  for (std::size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
    std::string name(&buffer[at]);
    at += name.size() + 1;
    readers.push_back(std::move(name));
  }
  return readers;
}

std::shared_ptr<Backend> openPcscBackend(const std::string& readerName) {
  try {
    auto backend = std::make_shared<PcscBackend>(readerName);
    if (backend->connect() != SCARD_S_SUCCESS) return nullptr;
    return backend;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tkrdr
