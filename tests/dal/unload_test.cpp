// Unloading the shared library closes the port it opened. The driver reuses
// the lowest free handle, so after the unload a new CT_open gets the handle
// the library had. That holds also after the library has cached the key of
// an RSA public-key operation for the calling thread: the cache does not keep
// the library loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

using CtOpen = int (*)(const char*, int, int);
using CtClose = int (*)(int);
using GenRand = int (*)(unsigned int, unsigned char*);
using RsaRaw = int (*)(const unsigned char*, unsigned int, const unsigned char*, int, unsigned char*, int*);

// Runs an RSA public-key operation with some odd 1024-bit modulus.
void useRsaPublicKey(void* dal) {
  auto raw = reinterpret_cast<RsaRaw>(dlsym(dal, "VORN_DAL_RsaPublicKeyRaw"));
  ASSERT_NE(raw, nullptr);
  unsigned char modulus[128], input[128] = {}, output[128];
  for (int i = 0; i < 128; ++i) modulus[i] = static_cast<unsigned char>(0xC5 ^ i);
  modulus[127] |= 1;
  input[7] = 0x42;
  int length = 0;
  ASSERT_EQ(0, raw(modulus, 128, input, 128, output, &length));
}

class LibraryUnload : public testing::TestWithParam<bool> {};

TEST_P(LibraryUnload, ClosesTheOpenPort) {
  setenv("PELU7_READERS", "USB1=vtoken:", 1);
  void* driver = dlopen(PELU7_BUILD_DIR "/lib/libtkrdr.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(driver, nullptr) << dlerror();
  auto ctOpen = reinterpret_cast<CtOpen>(dlsym(driver, "CT_open"));
  auto ctClose = reinterpret_cast<CtClose>(dlsym(driver, "CT_close"));
  ASSERT_NE(ctOpen, nullptr);

  void* dal = dlopen(PELU7_BUILD_DIR "/lib/libvorn_dal_pelu7.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(dal, nullptr) << dlerror();
  auto genRand = reinterpret_cast<GenRand>(dlsym(dal, "VORN_DAL_GenRand"));
  ASSERT_NE(genRand, nullptr);
  if (GetParam()) {
    ASSERT_NO_FATAL_FAILURE(useRsaPublicKey(dal));
  }
  unsigned char random[8];
  ASSERT_EQ(0, genRand(sizeof random, random));  // opens USB1: the driver's first handle

  const int probe = ctOpen("USB1", 1, 0);
  EXPECT_EQ(probe, 1) << "the library's port should still be open";
  ctClose(probe);

  ASSERT_EQ(0, dlclose(dal));
  const int reopened = ctOpen("USB1", 1, 0);
  EXPECT_EQ(reopened, 0) << "unloading the library should have closed its port";
  ctClose(reopened);
  dlclose(driver);
}

INSTANTIATE_TEST_SUITE_P(AfterUse, LibraryUnload, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "OfAnRsaPublicKey" : "OfTheCardOnly";
                         });

}  // namespace
