#include "transport.h"

#include <cstdint>
#include <cstring>

#include "connection.h"
#include "driver/tkrdr.h"
#include "log.h"

namespace pelu7 {
namespace {

using card::kCreateFileHeader;
using card::kReadBinaryHeader;
using card::kSelectHeader;
using card::kUpdateBinaryHeader;

// The driver's own statuses: SW1 = F0, which no card sends. A virtual
// token whose file cannot be written (TKRDR_SW_STORAGE) is there and answers
// for itself: its refusals keep the operations' own codes.
constexpr int kDriverStatusBase = 0xF000;

thread_local bool cardUnreachable = false;

// What a helper returns for a refused command: the status word, never 0.
int refusal(int status) { return status == 0 ? kStatusZero : status; }

int selectFile(int fileId) {
  CommandApdu select(kSelectHeader);
  select.append16(static_cast<unsigned>(fileId));
  Response response;
  return exchange(select, response);
}

}  // namespace

bool isDriverFailure(int status) {
  return (status & ~0xFF) == kDriverStatusBase && status != TKRDR_SW_STORAGE;
}

void beginCardCall() { cardUnreachable = false; }

int cardFailure(int code) { return cardUnreachable ? VORN_DAL_ERR_NO_DEVICE : code; }

int PELU7_tsi_api(int cmdLen, const unsigned char* cmd, unsigned char* respLen, unsigned char* resp) {
  const int status = ICC_tsi_api(readerHandle, cmdLen, cmd, respLen, resp);
  if (isDriverFailure(status)) cardUnreachable = true;
  return status;
}

int exchange(const CommandApdu& command, Response& response) {
  return PELU7_tsi_api(command.size(), command.data(), &response.length, response.data);
}

int PELU7_CreateFileBin(int fileId, int size, int readAccess, int writeAccess) {
  CommandApdu create(kCreateFileHeader);
  create.append16(static_cast<unsigned>(fileId)).append(7).append(card::kFileTypeTransparent);
  create.append16(static_cast<unsigned>(size));
  create.append(static_cast<std::uint8_t>(readAccess)).append(static_cast<std::uint8_t>(writeAccess));
  create.append(0xFF).append(0xFF);
  Response response;
  int status = exchange(create, response);
  if (status != kSwOk) {
    logStatus("******>ICC_tsi_api Error:", status);
    return refusal(status);
  }
  return 0;
}

int PELU7_WriteFileBin(int fileId, int offset, const unsigned char* data, unsigned int length) {
  if (length == 0) return 0;
  int status = selectFile(fileId);
  if (status != kSwOk) {
    logStatus("******>Wrt Select Error:", status);
    return refusal(status);
  }
  unsigned position = static_cast<unsigned>(offset);
  while (length > 0) {
    unsigned chunk = length > kMaxChunk ? kMaxChunk : length;
    CommandApdu update(kUpdateBinaryHeader);
    update.append16(position).append(static_cast<std::uint8_t>(chunk)).append({data, chunk});
    Response response;
    status = exchange(update, response);
    if (status != kSwOk) {
      logStatus("******>Wrt data Error:", status);
      return refusal(status);
    }
    position += chunk;
    data += chunk;
    length -= chunk;
  }
  return 0;
}

int PELU7_ReadFileBin(int fileId, int offset, unsigned char* buffer, unsigned int length) {
  if (length == 0) return 0;
  int status = selectFile(fileId);
  if (status != kSwOk) {
    logStatus("******>Wrt Select Error:", status);
    return refusal(status);
  }
  unsigned position = static_cast<unsigned>(offset);
  while (length > 0) {
    unsigned chunk = length > kMaxChunk ? kMaxChunk : length;
    CommandApdu read(kReadBinaryHeader);
    read.append16(position).append(static_cast<std::uint8_t>(chunk));
    Response response;
    status = exchange(read, response);
    // Never hand out bytes the card did not send.
    if (status == kSwOk && response.length < chunk) status = kStatusShortAnswer;
    if (status != kSwOk) {
      logStatus("******>Rd data Error:", status);
      return refusal(status);
    }
    std::memcpy(buffer, response.data, chunk);
    position += chunk;
    buffer += chunk;
    length -= chunk;
  }
  return 0;
}

}  // namespace pelu7
