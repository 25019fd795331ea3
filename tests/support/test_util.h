// Helpers every suite may use, on every platform: a temporary folder and hex
// text. Header-only, the standard library alone, so that suites built without
// the shared test library (the virtual token's, the PKCS#11 module's, the
// Windows suite) include it as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace testutil {

// A fresh folder under the system's temporary folder, readable by its owner
// only, removed with its files when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "pelu7-test") {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 1000; ++attempt) {
      const std::filesystem::path candidate = base / (prefix + "-" + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
        path_ = candidate.string();
        return;
      }
      if (error) throw std::runtime_error("cannot make a temporary folder: " + error.message());
    }
    throw std::runtime_error("cannot make a temporary folder: every name taken");
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the folder.
  std::string file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }

 private:
  std::string path_;
};

// Upper-case hex, two digits a byte, no separators.
inline std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}
inline std::string toHex(const std::uint8_t* data, std::size_t length) { return toHex({data, length}); }

// The bytes of hex text in either case; spaces are skipped, a last lone digit
// is ignored.
inline std::vector<std::uint8_t> fromHex(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c != ' ') digits += c;
  }
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

}  // namespace testutil
