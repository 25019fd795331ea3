// What the Windows tests share: vorn_dal_pelu7.dll loaded by name as a host
// program loads it, its function table, the export names of its .def, a
// virtual token file per test, and a stack-balance measure of one call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "vorn_dal_pelu7.h"

namespace wintest {

// The DLL loaded with LoadLibraryA and freed when the object goes.
class LoadedDal {
 public:
  LoadedDal();
  ~LoadedDal();
  LoadedDal(const LoadedDal&) = delete;
  LoadedDal& operator=(const LoadedDal&) = delete;

  bool loaded() const { return module_ != nullptr; }
  HMODULE module() const { return module_; }
  FARPROC find(const char* name) const { return GetProcAddress(module_, name); }
  // The table filled by VORN_DAL_GetFunctionList (found by name).
  const DalFunctionList& table() const { return table_; }
  // Frees the DLL now (the destructor then does nothing).
  void unload();

 private:
  HMODULE module_ = nullptr;
  DalFunctionList table_{};
};

// One export line of a .def: the exported name and the argument bytes of its
// stdcall symbol (the N of name@N).
struct DefExport {
  std::string name;
  int argumentBytes = 0;
};
std::vector<DefExport> readDefExports(const char* defPath);

// A fresh folder under the Windows temporary folder, removed with its files
// when the object goes.
using testutil::TempFolder;

// Maps USB1 to a virtual token file (PELU7_READERS, as the driver reads it).
void useTokenFile(const std::string& path);

// Pushes args[0..count) as a __stdcall caller does (last first), calls fn and
// returns how far ESP moved across the call: 0 when the callee removed
// exactly the arguments it was given. ESP is restored from a saved copy, so
// a wrong count is measured rather than crashed into.
std::intptr_t stackDrift(void (*fn)(), const std::uint32_t* args, int count, int* result);

}  // namespace wintest
