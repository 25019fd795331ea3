// elfsym: post-link step for shared objects whose export table must carry
// names that the ELF toolchain cannot produce, such as "_Name@4" (the linker
// reads "@" as the start of a symbol version).
//
//   elfsym decorate LIB NAME...
//     Each NAME is a placeholder exported by LIB, spelled like the wanted name
//     with "_" in place of its last "@" (_Name_4 for _Name@4). The placeholder
//     is renamed in .dynstr and .hash is rebuilt, so dlsym finds the decorated
//     name. Running it again on a decorated object changes nothing.
//
//   elfsym check LIB PART NAME...
//     The defined dynamic symbols of LIB whose names contain PART must be
//     exactly the NAMEs, and each must be found through .hash. Prints the
//     missing and the unexpected names; exit status 1 when there are any.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "dynamic_symbols.h"

namespace {

bool readFile(const std::string& path, std::vector<std::uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Writes a new file beside the old one and renames it over it, so that a
// process that has the old object mapped keeps an intact copy.
bool replaceFile(const std::string& path, const std::vector<std::uint8_t>& data) {
  struct stat old {};
  if (stat(path.c_str(), &old) != 0) return false;
  const std::string temporary = path + ".elfsym-tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) return false;
  }
  if (chmod(temporary.c_str(), old.st_mode & 07777) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

std::string decoratedName(const std::string& placeholder) {
  std::string name = placeholder;
  const auto last = name.rfind('_');
  if (last != std::string::npos && last > 0) name[last] = '@';
  return name;
}

int decorate(const std::string& path, const std::vector<std::string>& placeholders) {
  std::vector<std::uint8_t> image;
  if (!readFile(path, image)) {
    std::fprintf(stderr, "elfsym: cannot read %s\n", path.c_str());
    return 2;
  }
  elfsym::DynamicSymbols symbols(std::move(image));
  if (!symbols.ok()) {
    std::fprintf(stderr, "elfsym: %s: %s\n", path.c_str(), symbols.error().c_str());
    return 2;
  }
  const std::vector<std::string> defined = symbols.definedNames();
  auto isDefined = [&](const std::string& name) {
    return std::find(defined.begin(), defined.end(), name) != defined.end();
  };
  for (const std::string& placeholder : placeholders) {
    const std::string wanted = decoratedName(placeholder);
    if (wanted == placeholder) {
      std::fprintf(stderr, "elfsym: %s has no '_' to turn into '@'\n", placeholder.c_str());
      return 2;
    }
    if (isDefined(placeholder)) {
      if (!symbols.rename(placeholder, wanted)) {
        std::fprintf(stderr, "elfsym: %s: %s\n", path.c_str(), symbols.error().c_str());
        return 2;
      }
    } else if (!isDefined(wanted)) {
      std::fprintf(stderr, "elfsym: %s exports neither %s nor %s\n", path.c_str(), placeholder.c_str(),
                   wanted.c_str());
      return 2;
    }
  }
  symbols.rebuildHash();
  for (const std::string& name : symbols.definedNames()) {
    if (!symbols.hashFinds(name)) {
      std::fprintf(stderr, "elfsym: %s: rebuilt .hash does not find %s\n", path.c_str(), name.c_str());
      return 2;
    }
  }
  if (!replaceFile(path, symbols.image())) {
    std::fprintf(stderr, "elfsym: cannot write %s\n", path.c_str());
    return 2;
  }
  return 0;
}

int check(const std::string& path, const std::string& part, const std::vector<std::string>& expected) {
  std::vector<std::uint8_t> image;
  if (!readFile(path, image)) {
    std::fprintf(stderr, "elfsym: cannot read %s\n", path.c_str());
    return 2;
  }
  const elfsym::DynamicSymbols symbols(std::move(image));
  if (!symbols.ok()) {
    std::fprintf(stderr, "elfsym: %s: %s\n", path.c_str(), symbols.error().c_str());
    return 2;
  }
  std::set<std::string> actual;
  for (const std::string& name : symbols.definedNames())
    if (name.find(part) != std::string::npos) actual.insert(name);
  const std::set<std::string> wanted(expected.begin(), expected.end());

  int problems = 0;
  std::size_t missing = 0;
  for (const std::string& name : wanted) {
    if (actual.count(name) == 0) {
      std::printf("missing: %s\n", name.c_str());
      ++missing;
      ++problems;
    } else if (!symbols.hashFinds(name)) {
      std::printf("not found through .hash: %s\n", name.c_str());
      ++problems;
    }
  }
  for (const std::string& name : actual) {
    if (wanted.count(name) == 0) {
      std::printf("unexpected: %s\n", name.c_str());
      ++problems;
    }
  }
  std::printf("%s: %zu of %zu expected names exported, %d problem(s)\n", path.c_str(), wanted.size() - missing,
              wanted.size(), problems);
  return problems == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "decorate")
    return decorate(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
  if (args.size() >= 3 && args[0] == "check")
    return check(args[1], args[2], std::vector<std::string>(args.begin() + 3, args.end()));
  std::fprintf(stderr,
               "usage: elfsym decorate LIB PLACEHOLDER...\n"
               "       elfsym check LIB PART NAME...\n");
  return 2;
}
