// Files that a program keeps for its user between runs, in the user's cache
// folder: only ever the user's own, and replaced in one step.
//
// POSIX: $XDG_CACHE_HOME/<name>, else $HOME/.cache/<name> (the variable is
// used only when it holds an absolute path); the folder is made mode 0700,
// the files 0600. Only POSIX systems have it: the PKCS#11 module, its one
// user, is built there only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The program's folder in the user's cache folder, made (0700, with the
// cache folder itself when missing) if need be; nullopt when there is none
// that can be trusted: no home, or a folder that is not a real folder of the
// calling user that others cannot write.
std::optional<std::string> userCacheFolder(const char* name);

// The bytes of the file at `path`, when it is a regular file of the calling
// user that nobody else may read or write (not reached through a symbolic
// link) and holds at most `maxSize` bytes; nullopt otherwise.
std::optional<std::vector<std::uint8_t>> readPrivateFile(const std::string& path, std::size_t maxSize);

// Replaces the file at `path` with `bytes` in one step (a new file of mode
// 0600 beside it, renamed over it), so that a reader sees the old file or the
// new one, never a part. False when that could not be done (the old file, if
// any, stays).
bool replacePrivateFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace platform
