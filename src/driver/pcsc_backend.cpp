#include "pcsc_backend.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>

// pcsc-lite's buffer limits; Windows' winscard.h names none.
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
#include "transaction_hold.h"

namespace tkrdr {
namespace {

// A PC/SC context released when it goes out of scope.
class Context {
 public:
  explicit Context(PcscApi& api) : api_(api) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { release(); }

  // Fails at once when the service is not reachable.
  LONG establish() {
    release();
    const LONG rv = api_.establishContext(&handle_);
    valid_ = rv == SCARD_S_SUCCESS;
    return rv;
  }
  void release() {
    if (valid_) api_.releaseContext(handle_);
    valid_ = false;
  }
  SCARDCONTEXT get() const { return handle_; }

 private:
  PcscApi& api_;
  SCARDCONTEXT handle_ = 0;
  bool valid_ = false;
};

class PcscBackend : public Backend, private CardTransaction {
 public:
  PcscBackend(std::string reader, PcscApi& api, HoldTiming timing)
      : api_(api), reader_(std::move(reader)), context_(api) {
    hold_.emplace(static_cast<CardTransaction&>(*this), timing);
  }
  PcscBackend(const PcscBackend&) = delete;
  PcscBackend& operator=(const PcscBackend&) = delete;
  ~PcscBackend() override {
    hold_.reset();  // ends a held transaction while the connection is still there
    disconnect(SCARD_LEAVE_CARD);
  }

  // Establishes the context and connects to the card; a PC/SC result code.
  LONG connect() {
    std::lock_guard lock(hold_->cardMutex());
    return connectLocked();
  }

  // One command, whole, in the transaction that the hold keeps: its GET
  // RESPONSE (after 61xx) or its repeat with the right length (after 6Cxx)
  // must be the card's very next command, or the card hands the waiting
  // answer to another program's GET RESPONSE, or drops it; and so must the
  // next command of the same operation of the library.
  CardAnswer transmit(std::span<const std::uint8_t> command) override {
    std::unique_lock lock(hold_->cardMutex());
    if (!connected_) return CardAnswer{{}, connectFailure_};
    if (int rc = hold_->beforeCommand(command, lock); rc != 0) return CardAnswer{{}, rc};
    LONG failed = SCARD_S_SUCCESS;
    const RawSend send = [&](std::span<const std::uint8_t> apdu) { return sendRaw(apdu, failed); };
    CardAnswer answer = exchangeWithProcedureWords(command, send);
    if (failed == SCARD_S_SUCCESS) {
      hold_->afterCommand();
      return answer;
    }
    hold_->endNow();
    // The card was reset under this command (pcscd resets it, for one, when
    // a program ends without disconnecting). pcsc-lite then refuses every
    // command of this connection until it is made again: made again now, so
    // that this command fails and the next one reaches the card.
    if (failed == SCARD_W_RESET_CARD) reconnect(SCARD_LEAVE_CARD);
    return answer;
  }

  // A cold reset (power off and on). When the connection itself is gone (the
  // reader or the daemon came back), the context and connection are made
  // afresh, so a reset is also how a handle recovers from a removed card.
  int reset() override {
    std::lock_guard lock(hold_->cardMutex());
    hold_->endNow();
    LONG rv = connected_ ? reconnect(SCARD_UNPOWER_CARD) : SCARD_E_INVALID_HANDLE;
    if (rv != SCARD_S_SUCCESS) rv = connectLocked();
    return rv == SCARD_S_SUCCESS ? card::kSwOk : statusForPcscError(rv);
  }

  std::vector<std::uint8_t> atr() override {
    std::lock_guard lock(hold_->cardMutex());
    if (!connected_) return {};
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    const LONG rv = api_.status(card_, atr, &atrLength);
    if (rv != SCARD_S_SUCCESS) {
      hold_->endNow();
      return {};
    }
    if (atrLength > sizeof atr) return {};
    return std::vector<std::uint8_t>(atr, atr + atrLength);
  }

 private:
  // When another program has reset the card, pcscd reports
  // SCARD_W_RESET_CARD on our next call without doing it. The connection is
  // then re-established once and the transaction begun again; the card's
  // volatile state (login, current file) is gone, so commands that relied on
  // it are refused by the card itself.
  int begin() override {
    LONG rv = api_.beginTransaction(card_);
    if (rv == SCARD_W_RESET_CARD && reconnect(SCARD_LEAVE_CARD) == SCARD_S_SUCCESS) {
      rv = api_.beginTransaction(card_);
    }
    return rv == SCARD_S_SUCCESS ? 0 : statusForPcscError(rv);
  }

  void end() override { api_.endTransaction(card_, SCARD_LEAVE_CARD); }

  LONG connectLocked() {
    hold_->endNow();
    disconnect(SCARD_LEAVE_CARD);
    LONG rv = context_.establish();
    if (rv == SCARD_S_SUCCESS) rv = api_.connect(context_.get(), reader_.c_str(), &card_, &protocol_);
    connected_ = rv == SCARD_S_SUCCESS;
    connectFailure_ = connected_ ? 0 : statusForPcscError(rv);
    return rv;
  }

  // One SCardTransmit; rv keeps the first PC/SC failure.
  RawReply sendRaw(std::span<const std::uint8_t> apdu, LONG& rv) {
    BYTE received[MAX_BUFFER_SIZE];
    DWORD receivedLength = sizeof received;
    const LONG sent =
        api_.transmit(card_, protocol_, apdu.data(), static_cast<DWORD>(apdu.size()), received, &receivedLength);
    if (sent != SCARD_S_SUCCESS) {
      rv = sent;
      return RawReply{statusForPcscError(sent), {}};
    }
    // The answer may carry a key: the stack copy is wiped once it is taken.
    RawReply reply{TKRDR_SW_COMM, {}};
    if (receivedLength <= sizeof received) reply = RawReply{0, common::SecureBytes(received, received + receivedLength)};
    OPENSSL_cleanse(received, sizeof received);
    return reply;
  }

  LONG reconnect(DWORD initialization) { return api_.reconnect(card_, initialization, &protocol_); }

  void disconnect(DWORD disposition) {
    if (connected_) api_.disconnect(card_, disposition);
    connected_ = false;
  }

  PcscApi& api_;
  std::string reader_;
  Context context_;
  SCARDHANDLE card_ = 0;
  DWORD protocol_ = SCARD_PROTOCOL_UNDEFINED;
  bool connected_ = false;
  int connectFailure_ = TKRDR_SW_NO_CARD;  // what commands answer while not connected
  std::optional<TransactionHold> hold_;  // its mutex guards the connection too
};

}  // namespace

std::vector<std::string> listPcscReaders(PcscApi& api) {
  Context context(api);
  if (context.establish() != SCARD_S_SUCCESS) return {};
  DWORD length = 0;
  if (api.listReaders(context.get(), nullptr, &length) != SCARD_S_SUCCESS) return {};
  std::vector<char> buffer(length + 1, '\0');
  if (api.listReaders(context.get(), buffer.data(), &length) != SCARD_S_SUCCESS) return {};
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

std::shared_ptr<Backend> openPcscBackend(const std::string& readerName, PcscApi& api, HoldTiming timing) {
  try {
    auto backend = std::make_shared<PcscBackend>(readerName, api, timing);
    if (backend->connect() != SCARD_S_SUCCESS) return nullptr;
    return backend;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tkrdr
