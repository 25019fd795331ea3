// The decoders of the module's card files take nothing on trust: each case
// is bytes another program (or a torn write) could leave, and whether the
// module takes them as its own.
#include <gtest/gtest.h>

#include <functional>

#include "card_files.h"

namespace p11 {
namespace {

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

Bytes truncated(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

Bytes goodIndex() {
  Bytes whole = encodeIndexHeader(IndexHeader{7, 0x1234});
  const Bytes record = encodeIndexRecord(IndexRecord{RecordKind::Data, false, false, 509, 25, text("id"), text("label")});
  whole.insert(whole.end(), record.begin(), record.end());
  whole.resize(indexFileSize(), 0);
  return whole;
}

// An index whose header says how many records are in use, cut after those.
Bytes indexSayingInUse(int inUse, std::size_t recordsKept) {
  IndexHeader header{7, 0x1234};
  header.recordsInUse = inUse;
  Bytes whole = encodeIndexHeader(header);
  Bytes records = truncated(goodIndex(), indexFileSize());
  whole.insert(whole.end(), records.begin() + static_cast<long>(indexHeaderSize()),
               records.begin() + static_cast<long>(indexHeaderSize() + recordsKept * indexRecordSize()));
  return whole;
}

Bytes goodPayload() { return encodePayload(Payload{text("value"), text("app"), text("oid")}); }

Bytes withByte(Bytes bytes, std::size_t at, unsigned char value) {
  bytes.at(at) = value;
  return bytes;
}


// A payload header declaring a value of the given length.
Bytes payloadDeclaring(std::uint32_t valueLength) {
  Bytes bytes = truncated(goodPayload(), payloadHeaderSize());
  for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<unsigned char>(valueLength >> (24 - 8 * i));
  bytes[12] = bytes[13] = bytes[14] = bytes[15] = 0;
  return bytes;
}

enum class Decoder { TokenInfo, Index, IndexHeader, Payload, PayloadSize };

bool accepted(Decoder decoder, const Bytes& bytes) {
  switch (decoder) {
    case Decoder::TokenInfo:
      return decodeTokenInfo(bytes).has_value();
    case Decoder::Index:
      return decodeIndex(bytes).has_value();
    case Decoder::IndexHeader:
      return decodeIndexHeader(bytes).has_value();
    case Decoder::Payload:
      return decodePayload(bytes).has_value();
    case Decoder::PayloadSize:
      break;
  }
  return payloadSize(bytes).has_value();
}

struct CodecCase {
  const char* name;
  Decoder decoder;
  std::function<Bytes()> bytes;
  bool ours;
};

const CodecCase kCases[] = {
    {"TokenInfo", Decoder::TokenInfo, [] { return encodeTokenInfo({"label", "0123", false}); }, true},
    {"TokenInfoBadMagic", Decoder::TokenInfo, [] { return withByte(encodeTokenInfo({}), 0, 'X'); }, false},
    {"TokenInfoLaterVersion", Decoder::TokenInfo, [] { return withByte(encodeTokenInfo({}), 4, 2); }, false},
    {"TokenInfoShort", Decoder::TokenInfo, [] { return truncated(encodeTokenInfo({}), tokenInfoSize() - 1); }, false},
    {"Index", Decoder::Index, goodIndex, true},
    {"IndexBadMagic", Decoder::Index, [] { return withByte(goodIndex(), 3, 'X'); }, false},
    {"IndexLaterVersion", Decoder::Index, [] { return withByte(goodIndex(), 4, 2); }, false},
    {"IndexShorterThanItsRecords", Decoder::Index, [] { return truncated(goodIndex(), indexFileSize() - 1); }, false},
    {"IndexOfOnlyTheRecordsInUse", Decoder::Index, [] { return indexSayingInUse(1, 1); }, true},
    {"IndexOfNoRecordInUse", Decoder::Index, [] { return indexSayingInUse(0, 0); }, true},
    {"IndexCutBeforeItsRecordsInUse", Decoder::Index, [] { return indexSayingInUse(2, 1); }, false},
    {"IndexSayingMoreRecordsThanItHasIsReadWhole", Decoder::Index, [] { return withByte(goodIndex(), 5, 0xA1); },
     true},
    {"IndexHeaderAlone", Decoder::IndexHeader, [] { return truncated(goodIndex(), indexHeaderSize()); }, true},
    {"IndexHeaderOfAForeignFile", Decoder::IndexHeader, [] { return text("Foreign file bytes"); }, false},
    {"Payload", Decoder::Payload, goodPayload, true},
    {"PayloadBadMagic", Decoder::Payload, [] { return withByte(goodPayload(), 0, 'X'); }, false},
    {"PayloadLaterVersion", Decoder::Payload, [] { return withByte(goodPayload(), 4, 9); }, false},
    {"PayloadLengthsBeyondTheFile", Decoder::Payload, [] { return withByte(goodPayload(), 13, 200); }, false},
    {"PayloadCutShort", Decoder::Payload, [] { return truncated(goodPayload(), goodPayload().size() - 1); }, false},
    {"PayloadOfAForeignFile", Decoder::Payload, [] { return text("Foreign file bytes"); }, false},
    {"PayloadSizeOfItsHeader", Decoder::PayloadSize, [] { return truncated(goodPayload(), payloadHeaderSize()); }, true},
    {"PayloadSizeAtTheLimit", Decoder::PayloadSize,
     [] { return payloadDeclaring(static_cast<std::uint32_t>(kMaxPayloadSize - payloadHeaderSize())); }, true},
    {"PayloadSizeBeyondAnyToken", Decoder::PayloadSize,
     [] { return payloadDeclaring(static_cast<std::uint32_t>(kMaxPayloadSize - payloadHeaderSize() + 1)); }, false},
    {"PayloadSizeOfFourGibibytes", Decoder::PayloadSize, [] { return payloadDeclaring(0xFFFFFFF0u); }, false},
};

class CardFileCodecTest : public ::testing::TestWithParam<CodecCase> {};

TEST_P(CardFileCodecTest, TakesOnlyTheModulesOwnFiles) {
  EXPECT_EQ(accepted(GetParam().decoder, GetParam().bytes()), GetParam().ours);
}

INSTANTIATE_TEST_SUITE_P(Files, CardFileCodecTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct RecordCase {
  const char* name;
  std::size_t at;  // the byte changed after encoding
  unsigned char value;
};

// A record whose checksum does not cover what it holds reads as free.
const RecordCase kTornRecords[] = {
    {"LabelTornAfterItsChecksum", 30, 'X'},
    {"ChecksumTorn", 62, 0x55},
    {"UnknownKind", 0, 9},
    {"IdLongerThanItsField", 4, 21},
};

class IndexRecordTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(IndexRecordTest, ATornRecordReadsAsFree) {
  Bytes index = goodIndex();
  index[indexHeaderSize() + GetParam().at] = GetParam().value;
  const auto decoded = decodeIndex(index);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->records.at(0).kind, RecordKind::Free);
  EXPECT_EQ(decodeIndex(goodIndex())->records.at(0).kind, RecordKind::Data);
}

INSTANTIATE_TEST_SUITE_P(Records, IndexRecordTest, ::testing::ValuesIn(kTornRecords),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IndexRecordCodec, KeepsWhatItWasGiven) {
  const IndexRecord record{RecordKind::Certificate, true, true, 300, 1234, text("an id"), text("a label")};
  const Bytes bytes = encodeIndexRecord(record);
  const auto decoded = decodeIndexRecord(bytes.data());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->kind, record.kind);
  EXPECT_EQ(decoded->isPrivate, record.isPrivate);
  EXPECT_EQ(decoded->local, record.local);
  EXPECT_EQ(decoded->ref, record.ref);
  EXPECT_EQ(decoded->payloadSize, record.payloadSize);
  EXPECT_EQ(decoded->id, record.id);
  EXPECT_EQ(decoded->label, record.label);
}

}  // namespace
}  // namespace p11

namespace p11 {
namespace {

struct InUseCase {
  unsigned char stored;  // the header's byte 5 as a writer left it
  int recordsInUse;      // what a reader takes from it
};

// Earlier writers leave the byte zero ("not known": the reader reads every
// record); a count beyond the index is not believed either.
class IndexRecordsInUseTest : public ::testing::TestWithParam<InUseCase> {};

TEST_P(IndexRecordsInUseTest, TheHeaderSaysHowManyRecordsToRead) {
  Bytes header = withByte(encodeIndexHeader(IndexHeader{3, 9}), 5, GetParam().stored);
  const auto decoded = decodeIndexHeader(header);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->recordsInUse, GetParam().recordsInUse);
  EXPECT_EQ(decodeIndexHeader(encodeIndexHeader(*decoded)), decoded);
}

INSTANTIATE_TEST_SUITE_P(Bytes, IndexRecordsInUseTest,
                         ::testing::Values(InUseCase{0x00, -1}, InUseCase{0x80, 0}, InUseCase{0x81, 1},
                                           InUseCase{0xA0, 32}, InUseCase{0xA1, -1}, InUseCase{0x05, -1},
                                           InUseCase{0xFF, -1}));

}  // namespace
}  // namespace p11
