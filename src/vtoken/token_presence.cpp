// The presence file beside a token file, and pulling a token out and putting
// it back. A pull also wipes the card's RAM (its login, current file,
// challenge and SSF33 key), as the power lost with a real token does; the
// EEPROM stays.
#include <charconv>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "platform/file_store.h"
#include "vtoken/presence.h"
#include "vtoken/token.h"
#include "vtoken/virtual_token.h"

namespace vtoken {
namespace {

constexpr std::size_t kMaxPresenceText = 64;

std::string describe(const platform::FileError& error) {
  return error.detail.empty() ? std::string("cannot be used") : error.detail;
}

// "in N" or "out N", with or without a newline; nullopt otherwise.
std::optional<Presence> parse(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  Presence presence;
  if (text.rfind("in ", 0) == 0) {
    text.remove_prefix(3);
  } else if (text.rfind("out ", 0) == 0) {
    presence.inserted = false;
    text.remove_prefix(4);
  } else {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), presence.pulls);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return presence;
}

void writePresence(const std::string& tokenPath, const Presence& presence) {
  const std::string path = presencePathFor(tokenPath);
  const std::string text = std::string(presence.inserted ? "in " : "out ") + std::to_string(presence.pulls) + "\n";
  platform::Replacement replacement(path);
  platform::FileError error = replacement.create();
  if (!error) error = replacement.restrictToOwner();
  if (!error) error = replacement.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (!error) error = replacement.flush();
  if (!error) error = replacement.close();
  if (!error) error = replacement.replaceTarget();
  if (!error) error = platform::syncFolderOf(path);
  if (error) throw std::runtime_error(path + ": " + describe(error));
}

// The card's RAM lost: the next command finds nobody logged in.
void powerCycle(const std::string& tokenPath) {
  try {
    auto token = Token::openFile(tokenPath);
    if (token) token->reset();
    if (token && !token->lastError().empty()) throw std::runtime_error(token->lastError());
  } catch (const TokenError& error) {
    throw std::runtime_error(error.what());
  }
}

}  // namespace

std::string presencePathFor(const std::string& tokenPath) { return tokenPath + ".presence"; }

Presence presenceOf(const std::string& tokenPath) {
  try {
    platform::File file;
    const platform::FileError opened = platform::openForReading(presencePathFor(tokenPath), file);
    if (opened.problem == platform::FileProblem::kNotFound) return Presence{};
    std::uint64_t size = 0;
    if (opened || platform::examine(file, size) || size > kMaxPresenceText) return Presence{false, 0};
    char text[kMaxPresenceText];
    std::size_t got = 0;
    if (platform::readUpTo(file, reinterpret_cast<std::uint8_t*>(text), sizeof text, got)) return Presence{false, 0};
    return parse(std::string_view(text, got)).value_or(Presence{false, 0});
  } catch (...) {
    return Presence{false, 0};
  }
}

void pullTokenFile(const std::string& path) {
  if (platform::FileIdentity identity; platform::identify(path, identity)) {
    throw std::runtime_error(path + ": no such token file");
  }
  Presence presence = presenceOf(path);
  if (!presence.inserted) return;  // already out
  presence.inserted = false;
  ++presence.pulls;
  // Out first, so that no program starts another command on the old RAM.
  writePresence(path, presence);
  powerCycle(path);
}

void insertTokenFile(const std::string& path) {
  if (platform::FileIdentity identity; platform::identify(path, identity)) {
    throw std::runtime_error(path + ": no such token file");
  }
  Presence presence = presenceOf(path);
  if (presence.inserted) return;
  // Powered on afresh, then in.
  powerCycle(path);
  presence.inserted = true;
  writePresence(path, presence);
}

}  // namespace vtoken
