#include "support/scripted_pcsc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "card/vocabulary.h"

namespace testsupport {
namespace {

constexpr SCARDHANDLE kCard = 0x5C;
const BYTE kAtr[] = {0x3B, 0x02, 0x14, 0x50};

std::string hex(const BYTE* bytes, DWORD length) {
  std::string out;
  char digits[3];
  for (DWORD i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    out += digits;
  }
  return out;
}

}  // namespace

std::vector<std::string> ScriptedPcsc::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void ScriptedPcsc::clearEvents() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

bool ScriptedPcsc::waitForEvent(const std::string& event, int count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return recorded_.wait_for(lock, limit, [&] {
    return std::count(events_.begin(), events_.end(), event) >= count;
  });
}

void ScriptedPcsc::failNextTransmit(LONG rv) {
  std::lock_guard lock(mutex_);
  transmitFailure_ = rv;
}

void ScriptedPcsc::failNextBegin(LONG rv) {
  std::lock_guard lock(mutex_);
  beginFailure_ = rv;
}

void ScriptedPcsc::setCardPresent(bool present) {
  std::lock_guard lock(mutex_);
  if (present && !present_) ++insertions_;
  present_ = present;
  if (!present) held_ = false;
}

bool ScriptedPcsc::transactionHeld() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void ScriptedPcsc::record(std::string event) {
  events_.push_back(std::move(event));
  recorded_.notify_all();
}

LONG ScriptedPcsc::establishContext(SCARDCONTEXT* context) {
  *context = 1;
  return SCARD_S_SUCCESS;
}

LONG ScriptedPcsc::releaseContext(SCARDCONTEXT) { return SCARD_S_SUCCESS; }

LONG ScriptedPcsc::listReaders(SCARDCONTEXT, char* names, DWORD* length) {
  const DWORD needed = static_cast<DWORD>(std::strlen(kReaderName) + 2);
  if (names != nullptr) {
    if (*length < needed) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(names, kReaderName, needed - 1);
    names[needed - 1] = '\0';
  }
  *length = needed;
  return SCARD_S_SUCCESS;
}

LONG ScriptedPcsc::connect(SCARDCONTEXT, const char* reader, SCARDHANDLE* card, DWORD* protocol) {
  std::lock_guard lock(mutex_);
  if (std::strcmp(reader, kReaderName) != 0) return SCARD_E_UNKNOWN_READER;
  if (!present_) {
    record("connect failed");
    return SCARD_E_NO_SMARTCARD;
  }
  record("connect");
  connectedAt_ = insertions_;
  *card = kCard;
  *protocol = SCARD_PROTOCOL_T1;
  return SCARD_S_SUCCESS;
}

LONG ScriptedPcsc::reconnect(SCARDHANDLE, DWORD initialization, DWORD* protocol) {
  std::lock_guard lock(mutex_);
  record(initialization == SCARD_UNPOWER_CARD ? "reconnect unpower" : "reconnect");
  held_ = false;  // a reconnection ends the transaction in the service too
  *protocol = SCARD_PROTOCOL_T1;
  return SCARD_S_SUCCESS;
}

LONG ScriptedPcsc::disconnect(SCARDHANDLE, DWORD) {
  std::lock_guard lock(mutex_);
  record("disconnect");
  held_ = false;
  return SCARD_S_SUCCESS;
}

LONG ScriptedPcsc::beginTransaction(SCARDHANDLE) {
  std::lock_guard lock(mutex_);
  if (!present_ || connectedAt_ != insertions_) {
    record("begin failed");
    return SCARD_W_REMOVED_CARD;
  }
  if (beginFailure_) {
    const LONG rv = *beginFailure_;
    beginFailure_.reset();
    record("begin failed");
    return rv;
  }
  record("begin");
  held_ = true;
  return SCARD_S_SUCCESS;
}

LONG ScriptedPcsc::endTransaction(SCARDHANDLE, DWORD) {
  std::lock_guard lock(mutex_);
  record("end");
  const bool wasHeld = held_;
  held_ = false;
  return wasHeld ? SCARD_S_SUCCESS : SCARD_E_NOT_TRANSACTED;
}

LONG ScriptedPcsc::transmit(SCARDHANDLE, DWORD, const BYTE* command, DWORD commandLength, BYTE* response,
                            DWORD* responseLength) {
  std::lock_guard lock(mutex_);
  record("transmit " + hex(command, commandLength));
  if (!present_ || connectedAt_ != insertions_) return SCARD_W_REMOVED_CARD;
  if (transmitFailure_) {
    const LONG rv = *transmitFailure_;
    transmitFailure_.reset();
    return rv;
  }
  DWORD length = 0;
  if (commandLength == 7 && command[1] == card::kInsSelect) {
    currentFile_[0] = command[5];
    currentFile_[1] = command[6];
  } else if (commandLength == 5 && command[1] == card::kInsReadBinary && *responseLength >= 4) {
    response[length++] = currentFile_[0];
    response[length++] = currentFile_[1];
  }
  if (*responseLength < length + 2) return SCARD_E_INSUFFICIENT_BUFFER;
  response[length++] = 0x90;
  response[length++] = 0x00;
  *responseLength = length;
  return SCARD_S_SUCCESS;
}

LONG ScriptedPcsc::status(SCARDHANDLE, BYTE* atr, DWORD* atrLength) {
  {
    std::lock_guard lock(mutex_);
    if (!present_ || connectedAt_ != insertions_) return SCARD_W_REMOVED_CARD;
  }
  if (*atrLength < sizeof kAtr) return SCARD_E_INSUFFICIENT_BUFFER;
  std::memcpy(atr, kAtr, sizeof kAtr);
  *atrLength = sizeof kAtr;
  return SCARD_S_SUCCESS;
}

}  // namespace testsupport
