// The PKCS#11 module's files on the card (token information, object index,
// payloads) are bytes that any program with the card's login can write. Their
// decoders must refuse what is not the module's, never trust a declared size,
// and give back only what encodes to the same bytes again.
//
// The file of a view kept between processes is the user's own, but may be
// damaged: its decoder gives a view only when every part of it decodes.
//
// Input: the bytes of one file, read as each of the module's files in turn.
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "pkcs11/card_files.h"
#include "pkcs11/view_cache.h"

using p11::Bytes;

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes in(data, data + size);

  if (const auto info = p11::decodeTokenInfo(in)) {
    FUZZ_CHECK(info->label.size() <= p11::kMaxLabelLength, "label of %zu bytes", info->label.size());
    FUZZ_CHECK(p11::decodeTokenInfo(p11::encodeTokenInfo(*info)).has_value(), "token info does not decode again");
  }

  if (const auto header = p11::decodeIndexHeader(in)) {
    FUZZ_CHECK(p11::decodeIndexHeader(p11::encodeIndexHeader(*header)) == header, "index header changes");
  }
  if (const auto index = p11::decodeIndex(in)) {
    FUZZ_CHECK(index->records.size() == p11::kIndexRecords, "%zu records", index->records.size());
    for (const auto& record : index->records) {
      if (record.kind == p11::RecordKind::Free) continue;
      FUZZ_CHECK(record.id.size() <= p11::kMaxIdLength && record.label.size() <= p11::kMaxLabelLength,
                 "id of %zu, label of %zu bytes", record.id.size(), record.label.size());
      const Bytes again = p11::encodeIndexRecord(record);
      const auto decoded = p11::decodeIndexRecord(again.data());
      FUZZ_CHECK(decoded && decoded->id == record.id && decoded->label == record.label &&
                     decoded->ref == record.ref && decoded->payloadSize == record.payloadSize,
                 "a record does not survive encoding");
    }
  }

  if (const auto declared = p11::payloadSize(in)) {
    FUZZ_CHECK(*declared >= p11::payloadHeaderSize() && *declared <= p11::kMaxPayloadSize,
               "declared payload size %zu", *declared);
  }
  if (const auto payload = p11::decodePayload(in)) {
    const std::size_t parts = payload->value.size() + payload->application.size() + payload->objectId.size();
    FUZZ_CHECK(parts + p11::payloadHeaderSize() <= in.size(), "payload parts of %zu bytes in %zu", parts, size);
    FUZZ_CHECK(p11::decodePayload(p11::encodePayload(*payload)).has_value(), "payload does not decode again");
  }
  if (const auto view = p11::decodeCachedView(in)) {
    FUZZ_CHECK(view->known && view->index.state == p11::FileState::Ours, "a kept view that is not the module's");
    FUZZ_CHECK(view->index.records.size() == p11::kIndexRecords, "%zu records", view->index.records.size());
    const Bytes again = p11::encodeCachedView(*view);
    const auto decoded = p11::decodeCachedView(again);
    FUZZ_CHECK(decoded && p11::encodeCachedView(*decoded) == again, "a kept view does not survive encoding");
  }
  return 0;
}
