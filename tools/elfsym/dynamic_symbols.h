// The dynamic symbol table of a 64-bit little-endian ELF shared object, held
// in memory: names of the defined symbols, in-place renaming to a name of the
// same length, and the rebuild of the SysV .hash table that the dynamic
// loader searches by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace elfsym {

class DynamicSymbols {
 public:
  // Parses the image; error() says why when it is not usable.
  explicit DynamicSymbols(std::vector<std::uint8_t> image);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::vector<std::uint8_t>& image() const { return image_; }

  // Names of the symbols that the object defines (not the undefined ones).
  std::vector<std::string> definedNames() const;

  // Renames the dynamic symbol `from` to `to` (same length) inside .dynstr.
  // Refused when the name's bytes are shared with another string reference.
  bool rename(const std::string& from, const std::string& to);

  // Recomputes buckets and chains of .hash from the current names.
  void rebuildHash();

  // True when a SysV hash lookup of `name` finds a defined symbol of that name.
  bool hashFinds(const std::string& name) const;

 private:
  struct Table {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t link = 0;     // sh_link
    std::uint32_t entries = 0;  // sh_info (entry count of the version sections)
  };

  bool parse();
  bool fail(const std::string& why);
  const char* nameAt(std::uint32_t offset) const;
  std::uint32_t symbolCount() const;
  std::uint32_t symbolName(std::uint32_t index) const;
  bool symbolDefined(std::uint32_t index) const;
  std::vector<std::uint64_t> stringReferences() const;
  std::uint32_t hashWord(std::uint64_t index) const;
  void setHashWord(std::uint64_t index, std::uint32_t value);

  template <typename T>
  T read(std::uint64_t offset) const;

  std::vector<std::uint8_t> image_;
  std::string error_;
  Table dynsym_;
  Table dynstr_;
  Table hash_;
  Table dynamic_;
  Table versionDefinitions_;  // .gnu.version_d, when present
  Table versionNeeds_;        // .gnu.version_r, when present
};

// The SysV ELF hash of a symbol name.
std::uint32_t elfHash(const char* name);

}  // namespace elfsym
