#include "dynamic_symbols.h"

#include <elf.h>

#include <cstring>

namespace elfsym {

std::uint32_t elfHash(const char* name) {
  std::uint32_t h = 0;
  for (auto p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
    h = (h << 4) + *p;
    const std::uint32_t high = h & 0xF0000000u;
    if (high != 0) h ^= high >> 24;
    h &= ~high;
  }
  return h;
}

DynamicSymbols::DynamicSymbols(std::vector<std::uint8_t> image) : image_(std::move(image)) { parse(); }

template <typename T>
T DynamicSymbols::read(std::uint64_t offset) const {
  T value{};
  if (offset <= image_.size() && sizeof(T) <= image_.size() - offset)
    std::memcpy(&value, image_.data() + offset, sizeof(T));
  return value;
}

bool DynamicSymbols::fail(const std::string& why) {
  error_ = why;
  return false;
}

bool DynamicSymbols::parse() {
  const auto header = read<Elf64_Ehdr>(0);
  if (image_.size() < sizeof header || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return fail("not an ELF file");
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
    return fail("not a 64-bit little-endian ELF file");
  if (header.e_shentsize != sizeof(Elf64_Shdr)) return fail("unexpected section header size");

  std::vector<Elf64_Shdr> sections;
  for (std::uint64_t i = 0; i < header.e_shnum; ++i) {
    const std::uint64_t at = header.e_shoff + i * sizeof(Elf64_Shdr);
    if (at > image_.size() || image_.size() - at < sizeof(Elf64_Shdr)) return fail("section headers cut short");
    sections.push_back(read<Elf64_Shdr>(at));
  }
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_type == SHT_NOBITS) continue;
    if (section.sh_offset > image_.size() || image_.size() - section.sh_offset < section.sh_size)
      return fail("a section lies outside the file");
    const Table table{section.sh_offset, section.sh_size, section.sh_link, section.sh_info};
    switch (section.sh_type) {
      case SHT_DYNSYM: dynsym_ = table; break;
      case SHT_HASH: hash_ = table; break;
      case SHT_DYNAMIC: dynamic_ = table; break;
      case SHT_GNU_verdef: versionDefinitions_ = table; break;
      case SHT_GNU_verneed: versionNeeds_ = table; break;
      case SHT_GNU_HASH: return fail("the object has a .gnu.hash table; link it with --hash-style=sysv");
      default: break;
    }
  }
  if (dynsym_.size == 0) return fail("no dynamic symbol table");
  if (dynsym_.link >= sections.size() || sections[dynsym_.link].sh_type != SHT_STRTAB)
    return fail("the dynamic symbol table has no string table");
  dynstr_ = {sections[dynsym_.link].sh_offset, sections[dynsym_.link].sh_size, 0, 0};
  if (dynstr_.size == 0 || image_[dynstr_.offset + dynstr_.size - 1] != 0)
    return fail("the dynamic string table is not terminated");
  if (hash_.size < 8) return fail("no .hash table");
  const std::uint64_t buckets = hashWord(0);
  const std::uint64_t chains = hashWord(1);
  if (buckets == 0 || (2 + buckets + chains) * 4 > hash_.size) return fail("malformed .hash table");
  if (chains != symbolCount()) return fail(".hash does not cover the dynamic symbol table");
  for (std::uint32_t i = 0; i < symbolCount(); ++i)
    if (symbolName(i) >= dynstr_.size) return fail("a symbol name lies outside the string table");
  return true;
}

std::uint32_t DynamicSymbols::hashWord(std::uint64_t index) const {
  return read<std::uint32_t>(hash_.offset + index * 4);
}

void DynamicSymbols::setHashWord(std::uint64_t index, std::uint32_t value) {
  std::memcpy(image_.data() + hash_.offset + index * 4, &value, sizeof value);
}

std::uint32_t DynamicSymbols::symbolCount() const {
  return static_cast<std::uint32_t>(dynsym_.size / sizeof(Elf64_Sym));
}

std::uint32_t DynamicSymbols::symbolName(std::uint32_t index) const {
  return read<Elf64_Sym>(dynsym_.offset + std::uint64_t{index} * sizeof(Elf64_Sym)).st_name;
}

bool DynamicSymbols::symbolDefined(std::uint32_t index) const {
  return index != 0 &&
         read<Elf64_Sym>(dynsym_.offset + std::uint64_t{index} * sizeof(Elf64_Sym)).st_shndx != SHN_UNDEF;
}

const char* DynamicSymbols::nameAt(std::uint32_t offset) const {
  return reinterpret_cast<const char*>(image_.data() + dynstr_.offset + offset);
}

std::vector<std::string> DynamicSymbols::definedNames() const {
  std::vector<std::string> names;
  for (std::uint32_t i = 1; i < symbolCount(); ++i)
    if (symbolDefined(i)) names.emplace_back(nameAt(symbolName(i)));
  return names;
}

// Every offset into .dynstr that the object uses: symbol names, the names in
// the dynamic section and those of the symbol version sections. The linker
// shares string tails, so a rename must not touch a string that another
// reference points into.
std::vector<std::uint64_t> DynamicSymbols::stringReferences() const {
  std::vector<std::uint64_t> references;
  for (std::uint32_t i = 0; i < symbolCount(); ++i) references.push_back(symbolName(i));
  for (std::uint64_t at = dynamic_.offset; at + sizeof(Elf64_Dyn) <= dynamic_.offset + dynamic_.size;
       at += sizeof(Elf64_Dyn)) {
    const auto entry = read<Elf64_Dyn>(at);
    if (entry.d_tag == DT_NEEDED || entry.d_tag == DT_SONAME || entry.d_tag == DT_RPATH ||
        entry.d_tag == DT_RUNPATH || entry.d_tag == DT_AUXILIARY || entry.d_tag == DT_FILTER)
      references.push_back(entry.d_un.d_val);
  }
  std::uint64_t at = versionDefinitions_.offset;
  for (std::uint32_t i = 0; i < versionDefinitions_.entries; ++i) {
    const auto definition = read<Elf64_Verdef>(at);
    std::uint64_t auxAt = at + definition.vd_aux;
    for (std::uint32_t j = 0; j < definition.vd_cnt; ++j) {
      const auto aux = read<Elf64_Verdaux>(auxAt);
      references.push_back(aux.vda_name);
      auxAt += aux.vda_next;
    }
    at += definition.vd_next;
  }
  at = versionNeeds_.offset;
  for (std::uint32_t i = 0; i < versionNeeds_.entries; ++i) {
    const auto need = read<Elf64_Verneed>(at);
    references.push_back(need.vn_file);
    std::uint64_t auxAt = at + need.vn_aux;
    for (std::uint32_t j = 0; j < need.vn_cnt; ++j) {
      const auto aux = read<Elf64_Vernaux>(auxAt);
      references.push_back(aux.vna_name);
      auxAt += aux.vna_next;
    }
    at += need.vn_next;
  }
  return references;
}

bool DynamicSymbols::rename(const std::string& from, const std::string& to) {
  if (from.size() != to.size()) return fail("a new name must have the length of the old one");
  std::uint32_t symbol = 0;
  for (std::uint32_t i = 1; i < symbolCount() && symbol == 0; ++i)
    if (symbolDefined(i) && from == nameAt(symbolName(i))) symbol = i;
  if (symbol == 0) return fail("no defined dynamic symbol " + from);
  const std::uint64_t start = symbolName(symbol);
  int sameStart = 0;
  for (const std::uint64_t reference : stringReferences()) {
    if (reference > start && reference < start + from.size())
      return fail("the name " + from + " shares its bytes with another string");
    if (reference == start) ++sameStart;
  }
  if (sameStart != 1) return fail("the name " + from + " is used by more than one reference");
  std::memcpy(image_.data() + dynstr_.offset + start, to.data(), to.size());
  return true;
}

void DynamicSymbols::rebuildHash() {
  const std::uint32_t buckets = hashWord(0);
  const std::uint32_t chains = hashWord(1);
  for (std::uint64_t i = 0; i < std::uint64_t{buckets} + chains; ++i) setHashWord(2 + i, 0);
  for (std::uint32_t i = 1; i < chains; ++i) {
    const std::uint32_t bucket = elfHash(nameAt(symbolName(i))) % buckets;
    setHashWord(2 + buckets + i, hashWord(2 + bucket));
    setHashWord(2 + bucket, i);
  }
}

bool DynamicSymbols::hashFinds(const std::string& name) const {
  const std::uint32_t buckets = hashWord(0);
  const std::uint32_t chains = hashWord(1);
  std::uint32_t index = hashWord(2 + elfHash(name.c_str()) % buckets);
  for (std::uint32_t steps = 0; index != 0 && index < chains && steps < chains; ++steps) {
    if (symbolDefined(index) && name == nameAt(symbolName(index))) return true;
    index = hashWord(2 + std::uint64_t{buckets} + index);
  }
  return false;
}

}  // namespace elfsym
