// Which bytes of a command must not appear in an APDU trace.
//
// The data field (everything after CLA INS P1 P2 Lc) is secret for VERIFY
// (INS 20), CHANGE PIN (INS 24), UNBLOCK PIN (INS 2C), WRITE KEY (INS D4),
// the SSF33 key load (INS 78, P1 05), whatever the class byte, and for UPDATE
// BINARY (INS D6) while the current file is one that this handle saw created
// as an RSA private key file (CREATE FILE 80 E0 with file type 3D). The
// current file is followed through SELECT 00 A4 00 00 02 id. Where the card
// state is uncertain the tracker errs on the side of hiding: a private key
// file is remembered even when its creation was refused (it may exist
// already), a successful creation is taken as selecting it, and after any
// other form of SELECT an UPDATE BINARY is hidden as soon as a private key
// file is known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>

namespace tkrdr {

class SecretTracker {
 public:
  // Offset of the first secret byte of the command; command.size() when the
  // command carries no secret.
  std::size_t secretOffset(std::span<const std::uint8_t> command) const;
  // Follows the card's file state from a command and the status it got.
  void observe(std::span<const std::uint8_t> command, int status);
  // A card reset leaves no file selected.
  void noteReset() {
    selected_.reset();
    selectionUnknown_ = false;
  }

 private:
  bool mayWritePrivateKey() const;

  std::set<std::uint16_t> privateKeyFiles_;
  std::optional<std::uint16_t> selected_;  // none: the master file after a reset
  bool selectionUnknown_ = false;
};

}  // namespace tkrdr
