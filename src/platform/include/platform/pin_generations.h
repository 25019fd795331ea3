// What every process of the user knows about the PINs of each token, by the
// token's identity (common/token_identity.h): a PIN generation that every
// PIN change, unblock or format made by a program of this project moves,
// and the tries left that the last refused PIN revealed. A program that
// keeps a PIN to log the card in again compares the generation it logged in
// at with the one here before it presents that PIN, so that a PIN changed by
// another program costs no try; the first program refused by the card moves
// the generation too, so that a change made by something that does not say
// so costs one try on the whole machine.
//
// Kept in a small shared file of the user in the machine's memory
// (platform/file_mapping.h: /dev/shm on POSIX systems, the user's temporary
// folder on Windows), lost when the machine stops, read and written with
// file calls under the file's exclusive lock; where the shared file cannot
// be had, no generation is known and nothing is recorded (each process then
// knows only what it saw itself).
#pragma once

#include <cstdint>
#include <optional>

namespace platform {

enum class PinRole { kUser, kSecurityOfficer };

// The tries left of a role's PIN as the last refusal on this machine showed
// them; left is -1 when not known (never refused, or accepted since).
struct PinTriesSeen {
  int left = -1;
  bool locked = false;
};

// Each role's PIN has its own generation (0 until first moved); nullopt
// when the shared file cannot be had (nothing is then known).
std::optional<std::uint32_t> pinGeneration(std::uint64_t identity, PinRole role) noexcept;
// Moves the generation of a token's PIN; returns the new one.
std::uint32_t movePinGeneration(std::uint64_t identity, PinRole role) noexcept;
// Moves the generation only if it is still `seen`: of several programs
// refused with the same old PIN, only the first moves it. Returns the
// generation now.
std::uint32_t movePinGenerationFrom(std::uint64_t identity, PinRole role, std::uint32_t seen) noexcept;

PinTriesSeen pinTriesSeen(std::uint64_t identity, PinRole role) noexcept;
// Records what a PIN check showed: tries left after a wrong PIN, locked, or
// (left -1, not locked) accepted.
void notePinTries(std::uint64_t identity, PinRole role, PinTriesSeen seen) noexcept;
// Closes the shared file (a library about to be unloaded); the next call
// opens it again.
void closePinGenerations() noexcept;

}  // namespace platform
