#include "loaded_dal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace wintest {

LoadedDal::LoadedDal() {
  module_ = LoadLibraryA("vorn_dal_pelu7.dll");
  if (module_ == nullptr) return;
  const auto getList = reinterpret_cast<int(__stdcall*)(DalFunctionList*)>(
      reinterpret_cast<void (*)()>(GetProcAddress(module_, "VORN_DAL_GetFunctionList")));
  if (getList != nullptr) getList(&table_);
}

LoadedDal::~LoadedDal() { unload(); }

void LoadedDal::unload() {
  if (module_ != nullptr) FreeLibrary(module_);
  module_ = nullptr;
}

std::vector<DefExport> readDefExports(const char* defPath) {
  std::vector<DefExport> exports;
  std::ifstream in(defPath);
  if (!in) throw std::runtime_error(std::string("cannot read ") + defPath);
  bool inExports = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line.rfind("EXPORTS", 0) == 0) {
      inExports = true;
      continue;
    }
    if (!inExports) continue;
    std::istringstream words(line);
    std::string name, equals, symbol;
    words >> name >> equals >> symbol;
    const std::size_t at = symbol.rfind('@');
    if (equals != "=" || at == std::string::npos) throw std::runtime_error("unexpected .def line: " + line);
    exports.push_back({name, std::stoi(symbol.substr(at + 1))});
  }
  return exports;
}

void useTokenFile(const std::string& path) {
  const std::string map = "USB1=vtoken:" + path;
  _putenv_s("PELU7_READERS", map.c_str());
}

std::intptr_t stackDrift(void (*fn)(), const std::uint32_t* args, int count, int* result) {
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

}  // namespace wintest
