// SELECT, READ BINARY, UPDATE BINARY, CREATE FILE and ERASE on the flat file
// system under the MF.
#include <algorithm>

#include "command_handlers.h"
#include "status_words.h"

namespace vtoken {

namespace {

constexpr std::size_t kCreateFileDataLength = 7;
using card::kReservedFileId;

// The current elementary file, or nullptr when the MF is current.
ElementaryFile* currentEf(CardState& state) {
  if (state.currentFile == kMfId) {
    return nullptr;
  }
  const auto it = state.files.find(state.currentFile);
  return it == state.files.end() ? nullptr : &it->second;
}

bool validFileType(std::uint8_t type) {
  return type == kFileTypeTransparent || type == kFileTypeRsaPublicKey || type == kFileTypeRsaPrivateKey ||
         type == kFileTypeKeyFile;
}

bool fitsInFile(const ElementaryFile& file, std::size_t offset, std::size_t length) {
  return offset <= file.size && length <= file.size - offset;
}

}  // namespace

Answer selectFile(CardState& state, const Apdu& apdu) {
  if (apdu.p1p2() != 0x0000) {
    return statusOnly(kSwWrongP1P2);
  }
  if (apdu.data.size() != 2) {
    return statusOnly(kSwWrongLength);
  }
  const auto id = static_cast<std::uint16_t>(apdu.data[0] << 8 | apdu.data[1]);
  if (id != kMfId && !state.files.contains(id)) {
    return statusOnly(kSwFileNotFound);
  }
  state.currentFile = id;
  return statusOnly(kSwOk);
}

// P1 P2 is the offset, all 16 bits of it: this card has no short file ids.
Answer readBinary(CardState& state, const Apdu& apdu) {
  if (apdu.hasData() || !apdu.le) {
    return statusOnly(kSwWrongLength);
  }
  ElementaryFile* file = currentEf(state);
  if (file == nullptr) {
    return statusOnly(kSwNoCurrentEf);
  }
  if (file->type == kFileTypeKeyFile) {
    return statusOnly(kSwIncompatibleFile);
  }
  // A private key file is never readable, whatever its access bytes say.
  if (file->type == kFileTypeRsaPrivateKey || !accessAllows(file->access[0], state.securityState)) {
    return statusOnly(kSwSecurityNotSatisfied);
  }
  const std::size_t offset = apdu.p1p2();
  const std::size_t length = *apdu.le;
  if (!fitsInFile(*file, offset, length)) {
    return statusOnly(kSwBeyondEnd);
  }
  const auto begin = file->content.begin() + static_cast<std::ptrdiff_t>(offset);
  return Answer{{begin, begin + static_cast<std::ptrdiff_t>(length)}, kSwOk};
}

Answer updateBinary(CardState& state, const Apdu& apdu) {
  if (!apdu.hasData()) {
    return statusOnly(kSwWrongLength);
  }
  ElementaryFile* file = currentEf(state);
  if (file == nullptr) {
    return statusOnly(kSwNoCurrentEf);
  }
  if (file->type == kFileTypeKeyFile) {
    return statusOnly(kSwIncompatibleFile);
  }
  if (!accessAllows(file->access[1], state.securityState)) {
    return statusOnly(kSwSecurityNotSatisfied);
  }
  const std::size_t offset = apdu.p1p2();
  if (!fitsInFile(*file, offset, apdu.data.size())) {
    return statusOnly(kSwBeyondEnd);
  }
  std::copy(apdu.data.begin(), apdu.data.end(),
            file->content.begin() + static_cast<std::ptrdiff_t>(offset));
  return statusOnly(kSwOk);
}

// Creating a file needs no security state (the MF admits creation freely).
// The new file becomes the current file. There is at most one key file.
Answer createFile(CardState& state, const Apdu& apdu) {
  if (apdu.data.size() != kCreateFileDataLength) {
    return statusOnly(kSwWrongLength);
  }
  const std::uint16_t id = apdu.p1p2();
  if (id == kReservedFileId) {
    return statusOnly(kSwWrongP1P2);
  }
  if (id == kMfId || state.files.contains(id)) {
    return statusOnly(kSwFileExists);
  }
  const std::uint8_t type = apdu.data[0];
  const auto size = static_cast<std::uint16_t>(apdu.data[1] << 8 | apdu.data[2]);
  if (!validFileType(type) || size == 0) {
    return statusOnly(kSwWrongData);
  }
  if (type == kFileTypeKeyFile && state.keyFileId()) {
    return statusOnly(kSwConditionsNotSatisfied);
  }
  if (state.usedCapacity() + size + kFileOverhead > kCapacity) {
    return statusOnly(kSwNotEnoughMemory);
  }
  ElementaryFile file;
  file.type = type;
  file.size = size;
  std::copy(apdu.data.begin() + 3, apdu.data.end(), file.access.begin());
  if (type != kFileTypeKeyFile) {
    file.content.assign(size, 0x00);
  }
  state.files.emplace(id, std::move(file));
  state.currentFile = id;
  return statusOnly(kSwOk);
}

// Deletes every file under the MF, the key file included. Only the
// external-authentication right admits it; the right and the security state
// stay, so that a new key file and its keys can be written next.
Answer eraseAll(CardState& state, const Apdu& apdu) {
  if (apdu.p1p2() != 0x0000) {
    return statusOnly(kSwWrongP1P2);
  }
  if (apdu.hasData()) {
    return statusOnly(kSwWrongLength);
  }
  if (!state.externalAuthGranted) {
    return statusOnly(kSwSecurityNotSatisfied);
  }
  state.files.clear();
  state.currentFile = kMfId;
  return statusOnly(kSwOk);
}

}  // namespace vtoken
