#include "pcsc_stack.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace pcsctest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kVpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
constexpr int kFirstCandidatePort = 35990;
constexpr int kCandidatePairs = 400;
constexpr int kStartAttempts = 3;
constexpr long kTmpfsMagic = 0x01021994;
// Pause between two looks while pcscd itself is starting (its socket does not
// exist yet, so there is nothing to wait on).
constexpr std::chrono::milliseconds kStartupPollInterval{20};

bool isMountPoint(const char* path, const char* parent) {
  struct stat inner {}, outer {};
  return ::stat(path, &inner) == 0 && ::stat(parent, &outer) == 0 && inner.st_dev != outer.st_dev;
}

bool isTmpfs(const char* path) {
  struct statfs info {};
  return ::statfs(path, &info) == 0 && info.f_type == kTmpfsMagic;
}

// True when nothing listens on or holds the TCP port (any address).
bool portIsFree(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

// A free pair of ports for the two slots, starting at a point that depends on
// the process id so that two runs on one machine rarely try the same pair.
int freePortPair(int skip) {
  const int offset = static_cast<int>(::getpid() % kCandidatePairs);
  for (int i = 0; i < kCandidatePairs; ++i) {
    const int port = kFirstCandidatePort + 2 * ((offset + skip + i) % kCandidatePairs);
    if (portIsFree(port) && portIsFree(port + 1)) return port;
  }
  return 0;
}

class ScopedContext {
 public:
  ScopedContext() { valid_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) == SCARD_S_SUCCESS; }
  ~ScopedContext() {
    if (valid_) SCardReleaseContext(context_);
  }
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;
  bool valid() const { return valid_; }
  SCARDCONTEXT get() const { return context_; }

 private:
  SCARDCONTEXT context_ = 0;
  bool valid_ = false;
};

bool matches(DWORD eventState, CardState wanted) {
  if (wanted == CardState::kAbsent) return (eventState & SCARD_STATE_EMPTY) != 0;
  return (eventState & SCARD_STATE_PRESENT) != 0 && (eventState & SCARD_STATE_MUTE) == 0;
}

}  // namespace

std::string privateNamespaceProblem() {
  const char* flag = std::getenv("PELU7_PCSC_NAMESPACE");
  if (flag == nullptr || std::string(flag) != "1") {
    return "run this suite through tests/pcsc/run_in_namespace.sh (ctest does): it needs a private "
           "mount namespace so that it never disturbs a pcscd already running";
  }
  if (!isMountPoint("/run/pcscd", "/run") || !isTmpfs("/run/pcscd")) return "/run/pcscd is not a private tmpfs";
  if (!isTmpfs("/dev/shm") || !isMountPoint("/dev/shm", "/dev")) return "/dev/shm is not a private tmpfs";
  return {};
}

std::vector<std::string> readerNames() {
  ScopedContext context;
  if (!context.valid()) return {};
  DWORD length = 0;
  if (SCardListReaders(context.get(), nullptr, nullptr, &length) != SCARD_S_SUCCESS) return {};
  std::string buffer(length, '\0');
  if (SCardListReaders(context.get(), nullptr, buffer.data(), &length) != SCARD_S_SUCCESS) return {};
  std::vector<std::string> names;
  for (std::size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
    names.emplace_back(buffer.c_str() + at);
    at += names.back().size() + 1;
  }
  return names;
}

bool waitForCard(const std::string& reader, CardState state) {
  ScopedContext context;
  if (!context.valid()) return false;
  SCARD_READERSTATE watched{};
  watched.szReader = reader.c_str();
  watched.dwCurrentState = SCARD_STATE_UNAWARE;
  const auto deadline = Clock::now() + kReadinessLimit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (SCardGetStatusChange(context.get(), static_cast<DWORD>(left.count()), &watched, 1) != SCARD_S_SUCCESS) {
      return false;
    }
    if (matches(watched.dwEventState, state)) return true;
    watched.dwCurrentState = watched.dwEventState & ~SCARD_STATE_CHANGED;
  }
}

std::string PcscDaemon::readerName(int slot) { return std::string(kFriendlyName) + " 00 0" + std::to_string(slot); }

bool PcscDaemon::writeConfiguration() const {
  std::ofstream out(workDir_ + "/config/vpcd");
  out << "FRIENDLYNAME \"" << kFriendlyName << "\"\n"
      << "DEVICENAME /dev/null:" << basePort_ << "\n"
      << "LIBPATH " << kVpcdDriver << "\n"
      << "CHANNELID " << basePort_ << "\n";
  return static_cast<bool>(out);
}

std::string PcscDaemon::start() {
  std::string problem = privateNamespaceProblem();
  if (!problem.empty()) return problem;
  ::mkdir((workDir_ + "/config").c_str(), 0700);
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    // The first start picks the ports; later restarts keep them, so that an
    // attached token finds its reader again. Another attempt (a port taken
    // between the check and pcscd's own bind) picks another pair.
    if (basePort_ == 0 || attempt > 0) basePort_ = freePortPair(attempt);
    if (basePort_ == 0) return "no free TCP port pair for vpcd";
    problem = startOnce();
    if (problem.empty()) return {};
    stop();
  }
  return problem + " (pcscd log: " + logPath() + ")";
}

std::string PcscDaemon::startOnce() {
  if (!writeConfiguration()) return "cannot write the reader configuration";
  process_.emplace(ChildProcess::spawn({"pcscd", "--foreground", "--config", workDir_ + "/config"}, logPath()));
  const std::vector<std::string> wanted{readerName(0), readerName(1)};
  const auto deadline = Clock::now() + kReadinessLimit;
  while (Clock::now() < deadline) {
    if (process_->hasEnded()) return "pcscd ended at start";
    const std::vector<std::string> names = readerNames();
    if (std::all_of(wanted.begin(), wanted.end(),
                    [&](const std::string& w) { return std::find(names.begin(), names.end(), w) != names.end(); })) {
      return {};
    }
    std::this_thread::sleep_for(kStartupPollInterval);
  }
  return "pcscd did not list its vpcd readers on port " + std::to_string(basePort_);
}

void PcscDaemon::stop(int signal) {
  if (process_) process_->stop(signal);
  process_.reset();
}

bool AttachedToken::attach(int vpcdPort, const std::string& reader) {
  process_.emplace(ChildProcess::spawn({PELU7_TOOL_PATH, "vtoken", "attach", tokenPath_, "--vpcd-port",
                                        std::to_string(vpcdPort)},
                                       logPath_));
  return waitForCard(reader, CardState::kPresent);
}

bool AttachedToken::detach(const std::string& reader) {
  if (!process_) return false;
  const int status = process_->stop();
  process_.reset();
  return waitForCard(reader, CardState::kAbsent) && status == 0;
}

int AttachedToken::waitForEnd() {
  if (!process_) return -1;
  const int status = process_->wait();
  process_.reset();
  return status;
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace pcsctest
