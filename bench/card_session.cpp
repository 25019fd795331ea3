#include "bench/card_session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <system_error>

#include "bench/allocation_counter.h"
#include "dal/connection.h"
#include "platform/log_file.h"
#include "vorn_dal_pelu7.h"

namespace bench {
namespace {

constexpr std::size_t kCommandHeader = 5;
constexpr char kNoLogFolder[] = "/nonexistent/pelu7-bench-log";  // CLA INS P1 P2 and Lc or Le

const unsigned char* text(const char* pin) { return reinterpret_cast<const unsigned char*>(pin); }

constexpr unsigned char kSsf33Key[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                         0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
constexpr unsigned char kSsf33Iv[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                        0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};

int acquireSsf33(void*& context) {
  return VORN_DAL_SSF33AcquireContext(kSsf33Key, 16, kSsf33Iv, VORN_DAL_MODE_CBC, 0, &context);
}

bool step(const char* what, int result) {
  if (result != 0) std::fprintf(stderr, "pelu7_bench: card set-up: %s returned %d\n", what, result);
  return result == 0;
}

// Runs one set-up step under a recording hook and keeps its commands.
bool recordedStep(CardSession& session, const char* what, const std::function<int()>& call) {
  RecordingHook hook;
  const int result = call();
  session.setUpRecordings.emplace_back(what, hook.take());
  return step(what, result);
}

bool provision(CardSession& session) {
  // A fresh in-memory token on the first port; no APDU trace file.
  setenv("PELU7_READERS", "USB1=vtoken:", 1);
  unsetenv("PELU7_APDU_TRACE");
  // Some calls log on every call; thousands of benchmark lines have no place
  // in the machine's diagnostic log.
  std::error_code error;
  if (std::filesystem::is_directory(platform::kLogFolder, error)) {
    std::fprintf(stderr, "pelu7_bench: %s exists; the benchmark's log lines are not written\n", platform::kLogFolder);
    platform::testing::setLogFolder(kNoLogFolder);
  }
  if (!step("VORN_DAL_Initialize", VORN_DAL_Initialize())) return false;
  if (!step("VORN_DAL_FormatDevice", VORN_DAL_FormatDevice(text(kSuperPin), 8, text(kUserPin), 8))) return false;
  if (!step("VORN_DAL_Login", VORN_DAL_Login(VORN_DAL_USER, text(kUserPin), 8))) return false;
  return recordedStep(session, "CreateGlobalInfoFile", [] { return VORN_DAL_CreateGlobalInfoFile(kGlobalInfoSize); }) &&
         recordedStep(session, "CreateUsrDataFile",
                      [] { return VORN_DAL_CreateUsrDataFile(kUsrFileType, kUsrFileNumber, kUsrFileSize, 0, 1); }) &&
         step("VORN_DAL_CreateUsrDataFile",
              VORN_DAL_CreateUsrDataFile(kDeletedFileType, kDeletedFileNumber, 16, 0, 1)) &&
         recordedStep(session, "GenRsaKeyPair",
                      [&session] {
                        return VORN_DAL_GenRsaKeyPair(1024, &session.publicKeyFile, &session.privateKeyFile);
                      }) &&
         recordedStep(session, "SSF33AcquireContext", [&session] { return acquireSsf33(session.ssf33[0]); }) &&
         step("VORN_DAL_SSF33AcquireContext", acquireSsf33(session.ssf33[1])) &&
         step("VORN_DAL_SSF33AcquireContext", acquireSsf33(session.ssf33[2])) &&
         step("VORN_DAL_SSF33AcquireContext", acquireSsf33(session.ssf33[3]));
}

}  // namespace

const CardSession* openCardSession() {
  static CardSession session;
  static const bool ready = provision(session);
  return ready ? &session : nullptr;
}

int readerHandle() { return pelu7::readerHandle; }

RecordingHook::RecordingHook() { tkrdr::setCommandHook(this); }

RecordingHook::~RecordingHook() { tkrdr::setCommandHook(nullptr); }

std::optional<tkrdr::CardAnswer> RecordingHook::before(int, std::span<const std::uint8_t> command) {
  RecordedExchange exchange;
  exchange.command.assign(command.begin(), command.end());
  recording_.push_back(std::move(exchange));
  return std::nullopt;
}

void RecordingHook::after(int, std::span<const std::uint8_t>, const tkrdr::CardAnswer& answer) {
  recording_.back().data.assign(answer.data.begin(), answer.data.end());
  recording_.back().status = answer.status;
}

Recording RecordingHook::take() { return std::move(recording_); }

ReplayHook::ReplayHook(const Recording& recording) : recording_(recording) { tkrdr::setCommandHook(this); }

ReplayHook::~ReplayHook() { tkrdr::setCommandHook(nullptr); }

std::optional<tkrdr::CardAnswer> ReplayHook::before(int, std::span<const std::uint8_t> command) {
  SuspendCounting card;
  if (recording_.empty()) {
    diverged_ = true;
    return tkrdr::CardAnswer{{}, 0x6F00};
  }
  const RecordedExchange& exchange = recording_[next_];
  next_ = (next_ + 1) % recording_.size();
  ++answered_;
  // Data may differ from call to call (CBC chaining); the command may not.
  const std::size_t header = std::min<std::size_t>(kCommandHeader, command.size());
  if (command.size() != exchange.command.size() ||
      !std::equal(command.begin(), command.begin() + header, exchange.command.begin()))
    diverged_ = true;
  return tkrdr::CardAnswer{common::SecureBytes(exchange.data.begin(), exchange.data.end()), exchange.status};
}

}  // namespace bench
