// The APDU trace of one handle: PELU7_APDU_TRACE=PATH appends "> " and the
// command, then "< " and the answer data and status word, each in upper-case
// hex without spaces, one line each. PIN values and keys are written as '*'
// (two per byte) unless PELU7_APDU_TRACE_SECRETS=1.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "platform/file.h"
#include "test_seam.h"
#include "trace_redaction.h"

namespace tkrdr {

class ApduTrace {
 public:
  // The trace that the environment asks for now, or nullptr when tracing is
  // off or the file cannot be opened. The file is created mode 0600, opened
  // for appending, never through a symbolic link and only if it is a
  // regular file.
  static std::unique_ptr<ApduTrace> fromEnvironment();

  // Takes ownership of the open trace file (none: nothing is written).
  ApduTrace(platform::File file, bool showSecrets) : file_(std::move(file)), showSecrets_(showSecrets) {}
  ApduTrace(const ApduTrace&) = delete;
  ApduTrace& operator=(const ApduTrace&) = delete;

  // Writes the command line and the answer line. Not thread-safe: the
  // caller serialises the exchanges of its handle.
  void record(std::span<const std::uint8_t> command, const CardAnswer& answer);
  void noteReset() { secrets_.noteReset(); }

  // The two lines as written, without the newline (for tests).
  common::SecureText commandLine(std::span<const std::uint8_t> command) const;
  static common::SecureText answerLine(const CardAnswer& answer);

 private:
  void writeLine(common::SecureText line);

  platform::File file_;
  bool showSecrets_;
  SecretTracker secrets_;
};

}  // namespace tkrdr
