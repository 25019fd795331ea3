// The card side of the benchmarks: a formatted in-process virtual token with
// the user logged in and the files, key pair and SSF33 context that the card
// operations use; and two driver hooks, one that records the exchanges of a
// call as they go to the token, one that answers a recorded sequence again
// without the token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/test_seam.h"

namespace bench {

inline constexpr char kSuperPin[] = "87654321";
inline constexpr char kUserPin[] = "12345678";

inline constexpr int kGlobalInfoSize = 2048;
inline constexpr int kUsrFileType = 1;
inline constexpr int kUsrFileNumber = 1;
inline constexpr int kDeletedFileType = 2;
inline constexpr int kDeletedFileNumber = 1;
inline constexpr int kUsrFileSize = 2048;

struct RecordedExchange {
  std::vector<std::uint8_t> command;
  std::vector<std::uint8_t> data;
  int status = 0;
};
using Recording = std::vector<RecordedExchange>;

// The SSF33 contexts (CBC), one per operation, so that no operation sees the
// buffered bytes another one left.
enum Ssf33Use { kSsf33EncUpdate, kSsf33Encrypt, kSsf33Decrypt, kSsf33Mac, kSsf33Uses };

// Everything the card operations need, made once per process.
struct CardSession {
  int publicKeyFile = 0;
  int privateKeyFile = 0;
  void* ssf33[kSsf33Uses] = {};
  // The commands of the set-up steps that cannot be repeated, by step.
  std::vector<std::pair<std::string, Recording>> setUpRecordings;
};

// Opens the in-memory token on USB1 and provisions it; nullptr (after a
// message on stderr) when a step fails.
const CardSession* openCardSession();

// The library's open reader handle, for sending commands straight to the driver.
int readerHandle();

// Records every exchange while installed; lets them through to the token.
class RecordingHook : public tkrdr::CommandHook {
 public:
  RecordingHook();
  ~RecordingHook() override;
  std::optional<tkrdr::CardAnswer> before(int handle, std::span<const std::uint8_t> command) override;
  void after(int handle, std::span<const std::uint8_t> command, const tkrdr::CardAnswer& answer) override;
  Recording take();

 private:
  Recording recording_;
};

// Answers the commands with a recording, in order and over again, without
// the token; what it allocates is not counted. Notes any command whose
// header or length differs from the recorded one.
class ReplayHook : public tkrdr::CommandHook {
 public:
  explicit ReplayHook(const Recording& recording);
  ~ReplayHook() override;
  std::optional<tkrdr::CardAnswer> before(int handle, std::span<const std::uint8_t> command) override;
  bool diverged() const { return diverged_; }
  std::size_t answered() const { return answered_; }

 private:
  const Recording& recording_;
  std::size_t next_ = 0;
  std::size_t answered_ = 0;
  bool diverged_ = false;
};

}  // namespace bench
