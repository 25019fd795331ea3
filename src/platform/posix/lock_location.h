// Where the lock object of a user lives (see named_lock.cpp for the design).
#pragma once

#include <sys/types.h>

#include <string>

namespace platform::posix {

// The folder of the lock object of user `uid`, without a trailing slash:
// - root: /run, which only root may write;
// - another user: the user's runtime folder /run/user/UID, when the system
//   provides it (a folder of that user that no one else may enter);
// - else /dev/shm, which every user may write: there another user can
//   occupy the name first, and CreateMutex then refuses the object.
std::string lockFolder(uid_t uid);

// The object of user `uid` for the name `stem` ("/" and the lock's name):
// the folder, the stem, "." and the uid, and the layout.
std::string lockObjectPath(const std::string& stem, uid_t uid);

}  // namespace platform::posix
