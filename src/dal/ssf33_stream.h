// SSF33 on the shared block streamer: the card as a block-run cipher, the
// source lines of each export's block sites, and the family's result codes.
#pragma once

#include <cstddef>

#include "cipher_codes.h"
#include "softcrypt/block_stream.h"
#include "ssf33_context.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {

// The places at which an export sends blocks, one per site, so that a refused
// block is logged with the line of the site that sent it. The export takes
// each with LogSite::current() in a statement of its own; sites it does not
// have stay empty.
struct Ssf33BlockSites {
  LogSite firstBlock;        // the block completed from `pending`
  LogSite wholeBlocks;       // the whole input blocks (in a MAC: with nothing pending before)
  LogSite blocksAfterFirst;  // MAC only: the whole input blocks after the completed one
  LogSite finalBlock;        // the one block of a final call
};

// Sites of a cipher update: the block completed from `pending`, the whole
// input blocks after it.
inline Ssf33BlockSites cipherUpdateSites(LogSite firstBlock, LogSite wholeBlocks) noexcept {
  Ssf33BlockSites sites;
  sites.firstBlock = firstBlock;
  sites.wholeBlocks = wholeBlocks;
  return sites;
}

// Sites of a MAC update: whole blocks when nothing was pending, the block
// completed from `pending`, the whole blocks after that one.
inline Ssf33BlockSites macUpdateSites(LogSite wholeBlocks, LogSite completedBlock, LogSite blocksAfter) noexcept {
  Ssf33BlockSites sites = cipherUpdateSites(completedBlock, wholeBlocks);
  sites.blocksAfterFirst = blocksAfter;
  return sites;
}

// The one site of a final call.
inline Ssf33BlockSites finalSite(LogSite finalBlock) noexcept {
  Ssf33BlockSites sites;
  sites.finalBlock = finalBlock;
  return sites;
}

// Runs blocks through the card in the context's mode, doing the CBC chaining
// on the host; enciphers single blocks for the MAC.
class Ssf33BlockCipher {
 public:
  Ssf33BlockCipher(Ssf33Context& context, const Ssf33BlockSites& sites) noexcept
      : context_(context), sites_(sites) {}

  int mode() const noexcept { return context_.mode; }
  // Stops at the first refused block: the blocks before it stay in `out` and,
  // in CBC with ChainUpdate::Store, chainBlock has moved past them.
  bool run(Direction direction, softcrypt::RunSite site, const unsigned char* in, unsigned char* out,
           std::size_t blocks, softcrypt::ChainUpdate chain) noexcept;
  bool encipher(softcrypt::MacSite site, unsigned char (&block)[kSsf33BlockSize]) noexcept;

 private:
  LogSite siteOf(softcrypt::RunSite site) const noexcept;
  LogSite siteOf(softcrypt::MacSite site) const noexcept;

  Ssf33Context& context_;
  Ssf33BlockSites sites_;
};

// SSF33 finals leave the chaining value as it was.
using Ssf33Stream = softcrypt::BlockStream<kSsf33BlockSize, softcrypt::ChainUpdate::Keep>;
using Ssf33MacStream = softcrypt::MacStream<kSsf33BlockSize>;

inline Ssf33Stream streamOf(Ssf33Context& context) noexcept { return {context.pending, context.pendingLen}; }
inline Ssf33MacStream macStreamOf(Ssf33Context& context) noexcept {
  return {context.pending, context.pendingLen, context.macState};
}

// The SSF33 code of a streaming result: the ECB and CBC columns of the
// cipher code table.
constexpr int ssf33Code(softcrypt::StreamResult result, int mode) noexcept {
  return cipherCode(result, mode == softcrypt::kModeEcb ? CipherFamily::Ssf33Ecb : CipherFamily::Ssf33Cbc);
}

}  // namespace pelu7
