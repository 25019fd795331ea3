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
  // The export as a pointer of the given type (through void (*)(), the type
  // GCC accepts as a go-between for function pointers).
  template <typename Fn>
  Fn findAs(const char *name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(find(name)));
  }

  HMODULE module_ = nullptr;
};

// Pushes the 4-byte words args[0..count) as a __stdcall caller does (last
// first), calls fn, and returns how far ESP moved across the call: 0 when the
// callee removed exactly the arguments it was given. ESP is put back from a
// saved copy afterwards, so a callee that removes too many or too few
// arguments is measured, not crashed into.
std::intptr_t stackDrift(void (*fn)(), const std::uint32_t *args, int count, int *result) {
  int rc;
  std::intptr_t drift;
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%%edi,%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jmp 1b\n"
      "2:\n\t"
      "call *%%ebx\n\t"
      "movl %%esp, %%edx\n\t"
      "subl %%esi, %%edx\n\t"
      "movl %%esi, %%esp"
      : "=&a"(rc), "=&d"(drift), "+c"(count)
      : "b"(fn), "D"(args)
      : "esi", "memory", "cc");
  *result = rc;
  return drift;
}

template <typename... Words>
std::intptr_t stackDrift(FARPROC fn, int *result, Words... words) {
  const std::uint32_t args[] = {static_cast<std::uint32_t>(words)..., 0};
  return stackDrift(reinterpret_cast<void (*)()>(fn), args, sizeof...(words), result);
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
  auto sha1 = findAs<Sha1Fn>("Probe_Sha1");
  ASSERT_NE(sha1, nullptr);
  FARPROC sha1Raw = find("Probe_Sha1");
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
    EXPECT_EQ(stackDrift(sha1Raw, &rc, reinterpret_cast<std::uintptr_t>(c.input.data()), c.input.size(),
                         reinterpret_cast<std::uintptr_t>(hex)),
              0);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(hex, c.digest) << "input of " << c.input.size() << " bytes";
    char typedHex[41] = {};
    EXPECT_EQ(sha1(reinterpret_cast<const unsigned char *>(c.input.data()), static_cast<int>(c.input.size()),
                   typedHex),
              0);
    EXPECT_STREQ(typedHex, c.digest);
  }
}

TEST_F(ProbeDll, ReachesTheDriverImportedAtLinkTime) {
  FARPROC openPort = find("_Probe_OpenPort@4");
  ASSERT_NE(openPort, nullptr);
  int rc = 0;
  EXPECT_EQ(stackDrift(openPort, &rc, 1), 0);
  EXPECT_EQ(rc, 0x5A);
  EXPECT_EQ(stackDrift(openPort, &rc, 2), 0);
  EXPECT_EQ(rc, -101);
  EXPECT_EQ(findAs<OpenPortFn>("_Probe_OpenPort@4")(1), 0x5A);
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

// A caller that passes one argument too many (or a callee that removes too
// few) leaves ESP off by 4 per word: the drift check must see it, or its
// zeros above prove nothing.
TEST_F(ProbeDll, StackDriftCheckSeesAWrongArgumentCount) {
  FARPROC openPort = find("_Probe_OpenPort@4");
  ASSERT_NE(openPort, nullptr);
  int rc = 0;
  EXPECT_EQ(stackDrift(openPort, &rc, 1, 0), -4);
  EXPECT_EQ(rc, 0x5A);
}

}  // namespace
