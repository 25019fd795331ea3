// Unloading the shared library closes the port it opened. The driver reuses
// the lowest free handle, so after the unload a new CT_open gets the handle
// the library had.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

using CtOpen = int (*)(const char*, int, int);
using CtClose = int (*)(int);
using GenRand = int (*)(unsigned int, unsigned char*);

TEST(LibraryUnload, ClosesTheOpenPort) {
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

}  // namespace
