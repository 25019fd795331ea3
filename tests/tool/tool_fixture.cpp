#include "tool_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tooltest {

RunResult ToolTest::pelu7(const std::vector<std::string>& args, const std::string& input) const {
  std::vector<std::string> argv{toolPath(), "--reader", reader()};
  argv.insert(argv.end(), args.begin(), args.end());
  const Environment env{{"SO_PIN", kSuperPin},
                        {"USER_PIN", kUserPin},
                        {"WRONG_PIN", "11111111"},
                        {"PELU7_APDU_TRACE", ""}};
  return runProgram(argv, env, input);
}

RunResult ToolTest::pelu7Bare(const std::vector<std::string>& args, const Environment& env) const {
  std::vector<std::string> argv{toolPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, env);
}

RunResult ToolTest::openssl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"sh", "-c", "cd \"$0\" && exec openssl \"$@\"", dir_.path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv);
}

void ToolTest::formatToken() const {
  const RunResult r = pelu7({"format", "--so-pin-env", "SO_PIN", "--pin-env", "USER_PIN"});
  ASSERT_EQ(r.status, 0) << describe(r);
}

void ToolTest::loginUser() const {
  const RunResult r = pelu7({"login", "--pin-env", "USER_PIN"});
  ASSERT_EQ(r.status, 0) << describe(r);
}

void ToolTest::writeText(const std::string& name, const std::string& content) const {
  std::ofstream(path(name), std::ios::binary) << content;
}

std::string ToolTest::readText(const std::string& name) const {
  std::ifstream in(path(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ToolCopy copyToolForOtherUsers(const std::string& folder) {
  namespace fs = std::filesystem;
  const fs::path tool = toolPath();
  const fs::path libs = tool.parent_path().parent_path() / "lib";
  const fs::path copy = folder;
  fs::create_directories(copy / "lib");
  ::chmod(copy.c_str(), 0755);
  ::chmod((copy / "lib").c_str(), 0755);
  fs::copy_file(tool, copy / "pelu7", fs::copy_options::overwrite_existing);
  for (const fs::directory_entry& entry : fs::directory_iterator(libs)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".so") == std::string::npos) continue;  // static archives stay
    fs::copy(entry.path(), copy / "lib" / name, fs::copy_options::copy_symlinks | fs::copy_options::overwrite_existing);
  }
  ToolCopy result{(copy / "pelu7").string(), {{"LD_LIBRARY_PATH", (copy / "lib").string()}}};
  // LeakSanitizer stops a program whose suppressions file it cannot read.
  const char* lsan = std::getenv("LSAN_OPTIONS");
  const std::string options = lsan != nullptr ? lsan : "";
  const std::string key = "suppressions=";
  const std::size_t start = options.find(key);
  if (start != std::string::npos && (start == 0 || options[start - 1] == ':')) {
    const std::size_t from = start + key.size();
    const std::size_t end = std::min(options.find(':', from), options.size());
    const fs::path suppressions = copy / "lsan.supp";
    fs::copy_file(options.substr(from, end - from), suppressions, fs::copy_options::overwrite_existing);
    ::chmod(suppressions.c_str(), 0644);
    result.env["LSAN_OPTIONS"] = options.substr(0, from) + suppressions.string() + options.substr(end);
  }
  return result;
}

std::string describe(const RunResult& result) {
  std::ostringstream text;
  text << "exit status " << result.status << "\nstdout: " << result.out << "\nstderr: " << result.err;
  return text.str();
}

}  // namespace tooltest
