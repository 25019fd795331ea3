// Loads probe.dll as a Windows host program would: by name, then each export
// by name, and calls through __stdcall pointers.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

namespace {

using Sha1Fn = int(__stdcall *)(const unsigned char *, int, char *);
using OpenPortFn = int(__stdcall *)(int);

class ProbeDll : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA("probe.dll");
    ASSERT_NE(module_, nullptr) << "LoadLibrary failed, error " << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  FARPROC find(const char *name) const { return GetProcAddress(module_, name); }

  HMODULE module_ = nullptr;
};

// Calls fn(args) and returns how far the stack pointer moved across the call:
// 0 when caller and callee agree on who removes the arguments. Kept out of
// line with a frame pointer (locals stay reachable through EBP even when the
// callee leaves ESP wrong) and with each caller clean-up done right after its
// call, not deferred past the second reading.
template <typename Fn, typename... Args>
__attribute__((noinline, optimize("no-omit-frame-pointer", "no-defer-pop"))) std::intptr_t stackDrift(Fn fn, int *result, Args... args) {
  std::uintptr_t before = 0;
  std::uintptr_t after = 0;
  asm volatile("movl %%esp, %0" : "=r"(before));
  *result = fn(args...);
  asm volatile("movl %%esp, %0" : "=r"(after));
  return static_cast<std::intptr_t>(after - before);
}

TEST_F(ProbeDll, ExportsThePlainAndTheDecoratedNameOnly) {
  EXPECT_NE(find("Probe_Sha1"), nullptr);
  EXPECT_NE(find("_Probe_OpenPort@4"), nullptr);
  for (const char *absent : {"Probe_OpenPort", "Probe_OpenPort@4", "_Probe_OpenPort", "Probe_Sha1@12",
                             "_Probe_Sha1@12"}) {
    EXPECT_EQ(find(absent), nullptr) << absent;
  }
}

struct Sha1Case {
  std::string input;
  const char *digest;
};

TEST_F(ProbeDll, Sha1KnownAnswersFromTheStaticLibcrypto) {
  auto sha1 = reinterpret_cast<Sha1Fn>(find("Probe_Sha1"));
  ASSERT_NE(sha1, nullptr);
  const Sha1Case cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto &c : cases) {
    char hex[41] = {};
    int rc = -1;
    EXPECT_EQ(stackDrift(sha1, &rc, reinterpret_cast<const unsigned char *>(c.input.data()),
                         static_cast<int>(c.input.size()), hex),
              0);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(hex, c.digest) << "input of " << c.input.size() << " bytes";
  }
}

TEST_F(ProbeDll, ReachesTheDriverImportedAtLinkTime) {
  auto openPort = reinterpret_cast<OpenPortFn>(find("_Probe_OpenPort@4"));
  ASSERT_NE(openPort, nullptr);
  int rc = 0;
  EXPECT_EQ(stackDrift(openPort, &rc, 1), 0);
  EXPECT_EQ(rc, 0x5A);
  EXPECT_EQ(stackDrift(openPort, &rc, 2), 0);
  EXPECT_EQ(rc, -101);
  // The driver came in with the probe DLL, not by a LoadLibrary of ours.
  EXPECT_NE(GetModuleHandleA("TKRDR.dll"), nullptr);
}

TEST_F(ProbeDll, FreeLibraryUnloadsTheDriverWithIt) {
  ASSERT_NE(GetModuleHandleA("TKRDR.dll"), nullptr);
  ASSERT_TRUE(FreeLibrary(module_));
  module_ = nullptr;
  EXPECT_EQ(GetModuleHandleA("probe.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleA("TKRDR.dll"), nullptr);
}

// A cdecl pointer to a stdcall function leaves the arguments on the stack
// twice removed: the drift check must see that, or it proves nothing.
TEST_F(ProbeDll, StackDriftCheckSeesAWrongConvention) {
  using WrongFn = int(__cdecl *)(int);
  auto wrong = reinterpret_cast<WrongFn>(find("_Probe_OpenPort@4"));
  ASSERT_NE(wrong, nullptr);
  int rc = 0;
  EXPECT_EQ(stackDrift(wrong, &rc, 1), 4);
}

}  // namespace
