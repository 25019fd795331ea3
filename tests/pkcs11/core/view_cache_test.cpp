// The cache file of a token's public view: what it keeps (never a private
// object's payload), and that a damaged file is never taken for a view.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <fstream>
#include <functional>

#include "common/big_endian.h"
#include "support/test_util.h"
#include "platform/user_cache.h"
#include "view_cache.h"

namespace p11 {
namespace {

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

Bytes modulus(unsigned char fill) {
  Bytes value(128, fill);
  value[0] = 0xC1;
  value[127] = 0x01;
  return value;
}

// A view as a process holds it after reading a token: two key pairs (one
// left by an interrupted generation), a public certificate, a private data
// object whose payload the login read, and a payload that is not the module's.
CardView sampleView() {
  CardView view;
  view.known = true;
  view.index.state = FileState::Ours;
  view.index.header = IndexHeader{41, 0xCAFE0001, 4};
  view.index.records.assign(kIndexRecords, IndexRecord{});
  view.index.records[0] = IndexRecord{RecordKind::KeyPair, true, true, 1, 0, text("k1"), text("first")};
  view.index.records[1] = IndexRecord{RecordKind::Certificate, false, false, 509, 40, text("k1"), text("cert")};
  view.index.records[2] = IndexRecord{RecordKind::Data, true, false, 508, 30, text("s"), text("secret")};
  view.index.records[3] = IndexRecord{RecordKind::Data, false, false, 507, 30, text("x"), text("foreign")};
  view.nextKeyId = 5;
  view.moduli[1] = modulus(0x11);
  view.moduli[3] = {};
  view.payloads[509] = Payload{text("certificate DER"), {}, {}};
  view.payloads[508] = Payload{text("private value"), text("app"), {}};
  view.unusablePayloads.insert(507);
  return view;
}

TEST(ViewCacheCodec, KeepsThePublicViewAndNoPrivatePayload) {
  const CardView view = sampleView();
  const Bytes file = encodeCachedView(view);
  const auto decoded = decodeCachedView(file);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->known);
  EXPECT_EQ(decoded->index.header, view.index.header);
  ASSERT_EQ(decoded->index.records.size(), kIndexRecords);
  for (std::size_t i = 0; i < kIndexRecords; ++i) {
    EXPECT_EQ(encodeIndexRecord(decoded->index.records[i]), encodeIndexRecord(view.index.records[i])) << i;
  }
  EXPECT_EQ(decoded->nextKeyId, 5);
  EXPECT_EQ(decoded->moduli, view.moduli);
  ASSERT_EQ(decoded->payloads.size(), 1u);
  EXPECT_EQ(decoded->payloads.at(509).value, text("certificate DER"));
  EXPECT_EQ(decoded->unusablePayloads, std::set<int>{507});
  const std::string bytes(file.begin(), file.end());
  EXPECT_EQ(bytes.find("private value"), std::string::npos);
}

TEST(ViewCacheCodec, AViewWithoutAnIndexOfTheModulesIsNotKept) {
  CardView view = sampleView();
  view.index.state = FileState::Foreign;
  EXPECT_TRUE(encodeCachedView(view).empty());
}

// The file with its header's CRC made right again after a change, so that
// the body's own checks are what refuse it.
Bytes resealed(Bytes file) {
  common::putBigEndian32(&file[12], crc32(file.data() + 16, file.size() - 16));
  return file;
}

Bytes changed(std::size_t at, unsigned char value) {
  Bytes file = encodeCachedView(sampleView());
  file.at(at) = value;
  return file;
}

// Offsets in the file: the index header 16 to 31, the next key id 32, the
// record count 36, the first record's slot 37, its bytes from 38.
struct DamageCase {
  const char* name;
  std::function<Bytes()> bytes;
};

const DamageCase kDamaged[] = {
    {"Empty", [] { return Bytes{}; }},
    {"HeaderOnly", [] { Bytes f = encodeCachedView(sampleView()); f.resize(16); return f; }},
    {"BadMagic", [] { return changed(0, 'X'); }},
    {"LaterVersion", [] { return changed(4, 3); }},
    {"ReservedByteSet", [] { return changed(6, 1); }},
    {"LengthTooLong", [] { return changed(11, 0xFF); }},
    {"BodyFlippedUnderItsCrc", [] { return changed(40, 0x5A); }},
    {"CrcFlipped", [] { return changed(15, 0x00); }},
    {"CutShort", [] { Bytes f = encodeCachedView(sampleView()); f.pop_back(); return f; }},
    {"TrailingBytes", [] { Bytes f = encodeCachedView(sampleView()); f.push_back(0); common::putBigEndian32(&f[8], static_cast<std::uint32_t>(f.size() - 16)); return resealed(f); }},
    {"EvenNextKeyId", [] { return resealed(changed(35, 4)); }},
    {"NextKeyIdZero", [] { return resealed(changed(35, 0)); }},
    {"MoreRecordsThanAnIndexHolds", [] { return resealed(changed(36, 33)); }},
    {"RecordSlotBeyondTheIndex", [] { return resealed(changed(37, 32)); }},
    {"TornRecord", [] { return resealed(changed(39, 0x7F)); }},
    {"SameSlotTwice", [] { return resealed(changed(37 + 65, 0)); }},
    {"IndexHeaderNotTheModules", [] { return resealed(changed(16, 'X')); }},
    {"NotAFileAtAll", [] { return text("not a cache file, only some text of the right length"); }},
};

class ViewCacheDamageTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(ViewCacheDamageTest, IsNeverTakenForAView) { EXPECT_FALSE(decodeCachedView(GetParam().bytes()).has_value()); }

INSTANTIATE_TEST_SUITE_P(Files, ViewCacheDamageTest, ::testing::ValuesIn(kDamaged),
                         [](const auto& info) { return std::string(info.param.name); });

// Every single-byte change of a good file and every cut is refused or gives
// a view (never a crash); most are refused by the CRC alone.
TEST(ViewCacheCodec, AnyByteChangedOrCutIsSurvived) {
  const Bytes good = encodeCachedView(sampleView());
  std::size_t refused = 0;
  for (std::size_t at = 0; at < good.size(); ++at) {
    Bytes file = good;
    file[at] ^= 0x41;
    refused += !decodeCachedView(file).has_value();
    refused += !decodeCachedView(Bytes(good.begin(), good.begin() + static_cast<long>(at))).has_value();
  }
  EXPECT_EQ(refused, 2 * good.size());
}

// The file on disk: only the user's own private file is read.
class ViewCacheFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CACHE_HOME", folder_.path().c_str(), 1);
    unsetenv(kViewCacheVariable);
  }
  void TearDown() override { unsetenv("XDG_CACHE_HOME"); }
  std::string cacheFile() const { return folder_.path() + "/pelu7-pkcs11/view-cafe0001"; }
  testutil::TempFolder folder_{"view-cache"};
};

TEST_F(ViewCacheFileTest, IsWrittenPrivateAndReadBackForTheSameHeaderOnly) {
  CardView view = sampleView();
  storeCachedView(view);
  struct stat info {};
  ASSERT_EQ(stat(cacheFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((folder_.path() + "/pelu7-pkcs11").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(loadCachedView(view.index.header).has_value());
  IndexHeader moved = view.index.header;
  ++moved.generation;
  EXPECT_FALSE(loadCachedView(moved).has_value());
}

// A token with an identity: its view is found by the cheap look's two
// values, the identity and the change counter it was read at, and by no other.
TEST_F(ViewCacheFileTest, ATokenWithAnIdentityIsFoundByItsIdentityAndCounterOnly) {
  CardView view = sampleView();
  view.identity = 0x0123456789ABCDEFull;
  view.fileChanges = 7;
  storeCachedView(view);
  const auto kept = loadCachedViewOf(view.identity, 7);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->identity, view.identity);
  EXPECT_EQ(kept->fileChanges, std::optional<std::uint32_t>(7));
  EXPECT_EQ(kept->moduli, view.moduli);
  EXPECT_FALSE(loadCachedViewOf(view.identity, 8).has_value()) << "the counter moved since";
  EXPECT_FALSE(loadCachedViewOf(view.identity + 1, 7).has_value()) << "another token";
  EXPECT_FALSE(loadCachedViewOf(0, 0).has_value());
}

struct FileCase {
  const char* name;
  std::function<void(const std::string& path)> spoil;
};

const FileCase kSpoiled[] = {
    {"ReadableByOthers", [](const std::string& path) { chmod(path.c_str(), 0644); }},
    {"SymbolicLink",
     [](const std::string& path) {
       std::filesystem::rename(path, path + ".real");
       std::filesystem::create_symlink(path + ".real", path);
     }},
    {"Damaged",
     [](const std::string& path) {
       std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
       file.seekp(40);
       file.put('\x5A');
     }},
    {"Switch", [](const std::string&) { setenv(kViewCacheVariable, "0", 1); }},
};

class SpoiledViewCacheTest : public ViewCacheFileTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(SpoiledViewCacheTest, IsIgnored) {
  CardView view = sampleView();
  storeCachedView(view);
  ASSERT_TRUE(loadCachedView(view.index.header).has_value());
  GetParam().spoil(cacheFile());
  EXPECT_FALSE(loadCachedView(view.index.header).has_value());
}

INSTANTIATE_TEST_SUITE_P(Files, SpoiledViewCacheTest, ::testing::ValuesIn(kSpoiled),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ViewCacheFileTest, TheSwitchWritesNothing) {
  setenv(kViewCacheVariable, "0", 1);
  CardView view = sampleView();
  storeCachedView(view);
  EXPECT_FALSE(std::filesystem::exists(folder_.path() + "/pelu7-pkcs11"));
}

// A writer killed at any point leaves the old file or the new one, never a
// part of one; what it leaves beside it is removed by the next writer.
TEST_F(ViewCacheFileTest, AWriterKilledWhileWritingLeavesAWholeFile) {
  CardView view = sampleView();
  storeCachedView(view);
  const pid_t child = fork();
  if (child == 0) {
    for (std::uint32_t generation = 42;; ++generation) {
      CardView next = sampleView();
      next.index.header.generation = generation;
      storeCachedView(next);
    }
  }
  ASSERT_GT(child, 0);
  // Waits until the child has replaced the file at least once.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  IndexHeader first = view.index.header;
  while (loadCachedView(first).has_value() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const auto bytes = platform::readPrivateFile(cacheFile(), kMaxViewCacheSize);
  ASSERT_TRUE(bytes.has_value());
  const auto left = decodeCachedView(*bytes);
  ASSERT_TRUE(left.has_value());
  EXPECT_GE(left->index.header.generation, 42u);
  CardView again = sampleView();  // a view not yet written by this process: the next writer
  storeCachedView(again);
  for (const auto& entry : std::filesystem::directory_iterator(folder_.path() + "/pelu7-pkcs11")) {
    EXPECT_EQ(entry.path().filename().string(), "view-cafe0001");
  }
}

}  // namespace
}  // namespace p11
