// The version resource of both DLLs, read back as Windows' file properties
// and installers read it (GetFileVersionInfoW, VerQueryValueW).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaded_dal.h"

namespace {

struct ShippedDll {
  const char* name;
  const wchar_t* file;
  const wchar_t* description;
};

std::wstring wideOf(const char* ascii) { return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii)); }

// The folder of the test program, where the build puts the DLLs.
std::wstring binFolder() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

class VersionResource : public ::testing::TestWithParam<ShippedDll> {
 protected:
  void SetUp() override {
    const std::wstring path = binFolder() + GetParam().file;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
    info_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info_.data()));
  }

  std::wstring text(const wchar_t* key) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    if (!VerQueryValueW(info_.data(), query.c_str(), &value, &length) || length == 0) return L"(none)";
    return std::wstring(static_cast<const wchar_t*>(value), length - 1);
  }

  std::vector<unsigned char> info_;
};

TEST_P(VersionResource, FixedVersionIsTheProjectVersion) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const DWORD major = HIWORD(fixed->dwFileVersionMS), minor = LOWORD(fixed->dwFileVersionMS);
  const DWORD patch = HIWORD(fixed->dwFileVersionLS);
  EXPECT_EQ(std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + std::to_wstring(patch),
            wideOf(PELU7_VERSION));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_P(VersionResource, TextsNameTheFileAndItsLicence) {
  EXPECT_EQ(text(L"FileDescription"), GetParam().description);
  EXPECT_EQ(text(L"OriginalFilename"), GetParam().file);
  EXPECT_EQ(text(L"FileVersion"), wideOf(PELU7_VERSION));
  EXPECT_EQ(text(L"ProductVersion"), wideOf(PELU7_VERSION));
  EXPECT_EQ(text(L"ProductName"), L"PELU7 device abstraction layer");
  EXPECT_EQ(text(L"LegalCopyright"), wideOf(PELU7_COPYRIGHT));
}

INSTANTIATE_TEST_SUITE_P(
    BothDlls, VersionResource,
    ::testing::Values(ShippedDll{"Dal", L"vorn_dal_pelu7.dll", L"PELU7 device abstraction layer"},
                      ShippedDll{"Driver", L"TKRDR.dll", L"PELU7 reader driver (virtual token and PC/SC)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
