// What programs outside the reader driver may do with virtual token files:
// create one, describe one, and serve one to pcscd through vpcd. Every
// function throws std::runtime_error with a message naming the cause.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace vtoken {

// Creates a factory-fresh token file at path (only the MF and the transport
// key), with or without the SSF33 cipher.
void createTokenFile(const std::string& path, bool ssf33);

// The files, key objects and counters of a token file, as text; key values,
// PINs and the last challenge are never shown.
std::string describeTokenFileAsText(const std::string& path);

// Pulls the token file's token out of its reader, or puts it back: while it
// is out, programs using it see no card; pulling it loses the card's RAM
// (its login) as a real token does. Doing either twice changes nothing.
void pullTokenFile(const std::string& path);
void insertTokenFile(const std::string& path);

inline constexpr std::uint16_t kVpcdDefaultPort = 35963;

enum class AttachEnd {
  kStopped,           // stop became true
  kConnectionClosed,  // vpcd closed the connection
};

// Serves the token file (created factory-fresh when missing) to vpcd at
// host:port until stop becomes true or vpcd closes the connection.
AttachEnd attachTokenFile(const std::string& path, const std::string& host, std::uint16_t port,
                          const std::atomic<bool>& stop);

}  // namespace vtoken
