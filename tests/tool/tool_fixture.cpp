#include "tool_fixture.h"

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

std::string describe(const RunResult& result) {
  std::ostringstream text;
  text << "exit status " << result.status << "\nstdout: " << result.out << "\nstderr: " << result.err;
  return text.str();
}

}  // namespace tooltest
