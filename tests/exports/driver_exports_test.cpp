// The reader driver's export table: its four functions and the optional
// fifth that the library looks up at run time, nothing else.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

constexpr const char* kDriverPath = PELU7_BUILD_DIR "/lib/libtkrdr.so";

// The functions the driver defines and exports, as `nm -D` lists them.
std::set<std::string> exportedFunctions() {
  std::set<std::string> names;
  const std::string command = std::string("nm -D --defined-only ") + kDriverPath;
  FILE* listing = popen(command.c_str(), "r");
  if (listing == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, listing) != nullptr) {
    char type = 0;
    char name[400];
    if (std::sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'W')) names.insert(name);
  }
  pclose(listing);
  return names;
}

TEST(DriverExports, TheFourAndTheOptionalRelease) {
  EXPECT_EQ(exportedFunctions(),
            (std::set<std::string>{"CT_open", "CT_close", "ICC_reset", "ICC_tsi_api", "ICC_release"}));
}

TEST(DriverExports, ReleaseIsCallableThroughDlsym) {
  void* driver = dlopen(kDriverPath, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(driver, nullptr) << dlerror();
  using Release = int (*)();
  const auto release = reinterpret_cast<Release>(dlsym(driver, "ICC_release"));
  ASSERT_NE(release, nullptr);
  EXPECT_EQ(0, release()) << "nothing held: nothing to give back";
  dlclose(driver);
}

}  // namespace
