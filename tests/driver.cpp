#include "driver.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef PR_SET_MEMORY_MERGE
#define PR_SET_MEMORY_MERGE 67
#endif

namespace driver {
namespace {

using Clock = std::chrono::steady_clock;

std::string env_or(const char *name, const char *fallback) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string exe_path = MEMHOLD_DEFAULT_EXE;
std::string launcher_words;

std::vector<std::string> words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> result;
  for (std::string word; in >> word;)
    result.push_back(word);
  return result;
}

[[noreturn]] void fail(const std::string &what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The sanitizer allocator warns on standard error when it returns null.
std::string without_allocator_warnings(const std::string &text) {
  std::istringstream in(text);
  std::string kept;
  for (std::string line; std::getline(in, line);)
    if (line.find("WARNING: AddressSanitizer failed to allocate") == std::string::npos)
      kept += line + '\n';
  return kept;
}

}  // namespace

void configure(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--exe=", 0) == 0)
      exe_path = arg.substr(6);
    else if (arg.rfind("--launcher=", 0) == 0)
      launcher_words = arg.substr(11);
  }
  // Wine's own diagnostics would mix with the tool's standard error.
  if (!launcher_words.empty())
    setenv("WINEDEBUG", "-all", 0);
}

bool windows_build() {
  const std::string &exe = exe_path;
  return exe.size() > 4 && exe.compare(exe.size() - 4, 4, ".exe") == 0;
}

bool sanitized_build() {
#ifdef MEMHOLD_SANITIZED
  return !windows_build();
#else
  return false;
#endif
}

std::string unavailable() {
  const std::string &exe = exe_path;
  if (access(exe.c_str(), X_OK) != 0)
    return exe + " has not been built";
  const auto launcher = words(launcher_words);
  if (launcher.empty() || launcher[0].find('/') != std::string::npos)
    return "";
  std::istringstream path(env_or("PATH", ""));
  for (std::string dir; std::getline(path, dir, ':');)
    if (access((dir + "/" + launcher[0]).c_str(), X_OK) == 0)
      return "";
  return launcher[0] +
         " is not installed (Debian packages wine, wine64): the Windows build is not tested";
}

std::string native(std::string text) {
  if (!windows_build())
    return text;
  std::string result;
  for (char c : text)
    result += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return result;
}

Tool::Tool(const Launch &launch) {
  std::vector<std::string> argv = launch.prefix;
  for (auto &word : words(launcher_words))
    argv.push_back(word);
  argv.push_back(exe_path);
  argv.insert(argv.end(), launch.args.begin(), launch.args.end());
  std::vector<char *> cargv;
  for (auto &arg : argv)
    cargv.push_back(arg.data());
  cargv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    fail("pipe");
  // Everything the child needs is prepared here: after fork it only calls
  // async-signal-safe functions and exec. The sanitizer build is capped by
  // its allocator's options, in the child's environment only.
  std::vector<std::string> env;
  for (char **var = environ; *var != nullptr; ++var)
    if (std::strncmp(*var, "ASAN_OPTIONS=", 13) != 0)
      env.emplace_back(*var);
  std::string asan = "ASAN_OPTIONS=" + env_or("ASAN_OPTIONS", "");
  if (launch.cap_memory && sanitized_build())
    asan += ":allocator_may_return_null=1:max_allocation_size_mb=256";
  env.push_back(asan);
  std::vector<char *> cenv;
  for (auto &var : env)
    cenv.push_back(var.data());
  cenv.push_back(nullptr);
  // A data-size limit fails any private writable mapping beyond it, also
  // under Wine, which an address-space limit would stop from starting.
  const rlimit cap{std::uint64_t{512} << 20, std::uint64_t{512} << 20};
  const bool set_rlimit = launch.cap_memory && !sanitized_build();

  pid_ = fork();
  if (pid_ < 0)
    fail("fork");
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (set_rlimit)
      setrlimit(RLIMIT_DATA, &cap);
    if (launch.merge && prctl(PR_SET_MEMORY_MERGE, 1, 0, 0, 0) != 0)
      _exit(126);
    if (!launch.cgroup.empty()) {
      const int procs = open(launch.cgroup.c_str(), O_WRONLY);
      if (procs < 0 || write(procs, "0", 1) != 1)
        _exit(125);
      close(procs);
    }
    execvpe(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  outfd_ = out[0];
  errfd_ = err[0];
}

Tool::~Tool() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, outfd_, errfd_})
    if (fd >= 0)
      close(fd);
}

// Reads both output pipes until the deadline, until standard output holds
// `until`, or until both pipes are closed. Returns true when `until` appeared.
bool Tool::pump(Clock::time_point deadline, const std::string *until) {
  while (true) {
    if (until != nullptr && out_.find(*until) != std::string::npos)
      return true;
    pollfd fds[2] = {{outfd_, POLLIN, 0}, {errfd_, POLLIN, 0}};
    if (outfd_ < 0 && errfd_ < 0)
      return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
      return false;
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR)
      fail("poll");
    int *fd_of[2] = {&outfd_, &errfd_};
    std::string *text_of[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0)
        continue;
      char buffer[4096];
      const ssize_t got = read(*fd_of[i], buffer, sizeof buffer);
      if (got > 0) {
        text_of[i]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(*fd_of[i]);
        *fd_of[i] = -1;
      }
    }
  }
}

bool Tool::wait_for(const std::string &text, std::chrono::seconds limit) {
  return pump(Clock::now() + limit, &text);
}

bool Tool::still_running_after(std::chrono::milliseconds time) {
  pump(Clock::now() + time, nullptr);
  return waitpid(pid_, nullptr, WNOHANG) == 0;
}

void Tool::send(const std::string &input) {
  if (write(in_, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    fail("write to the tool");
}

void Tool::close_input() {
  close(in_);
  in_ = -1;
}

Outcome Tool::finish(std::chrono::seconds limit) {
  using std::chrono::milliseconds;
  const auto deadline = Clock::now() + limit;
  int status = 0, result = -1;
  while (Clock::now() < deadline) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    pump(std::min(deadline, Clock::now() + milliseconds(20)), nullptr);
  }
  // What the tool wrote is in the pipes by now. Helpers that a launcher
  // started (Wine's services) may hold them open long after: read only what
  // is there.
  pump(Clock::now() + milliseconds(100), nullptr);
  return {out_, sanitized_build() ? without_allocator_warnings(err_) : err_, result};
}

Outcome run(const Launch &launch, const std::string &input) {
  Tool tool(launch);
  if (!input.empty())
    tool.send(input);
  tool.close_input();
  return tool.finish();
}

namespace {

struct Mapping {
  std::uint64_t start, end;
  bool writable_anonymous;
};

std::vector<Mapping> mappings(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::vector<Mapping> result;
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, path;
    fields >> range >> perms >> offset >> device >> inode >> path;
    const auto dash = range.find('-');
    result.push_back({std::stoull(range.substr(0, dash), nullptr, 16),
                      std::stoull(range.substr(dash + 1), nullptr, 16),
                      perms.compare(0, 2, "rw") == 0 && inode == "0" && path.empty()});
  }
  return result;
}

class Memory {
 public:
  explicit Memory(pid_t pid)
      : fd_(open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY)) {
    if (fd_ < 0)
      fail("open /proc/<pid>/mem");
  }
  ~Memory() { close(fd_); }
  std::string read(std::uint64_t address, std::uint64_t length) const {
    std::string bytes(length, '\0');
    const ssize_t got = pread(fd_, bytes.data(), length, static_cast<off_t>(address));
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
  }

 private:
  int fd_;
};

constexpr std::uint64_t page = 4096;
constexpr std::uint64_t chunk = std::uint64_t{64} << 20;

}  // namespace

Block find_block(pid_t pid, std::uint64_t length) {
  std::vector<Mapping> anonymous;
  for (const Mapping &m : mappings(pid))
    if (m.writable_anonymous)
      anonymous.push_back(m);
  const Memory memory(pid);
  const std::string fill(page, 'a');
  for (std::size_t i = 0; i < anonymous.size(); ++i) {
    // The block may run on through the neighbouring mappings (its huge-page
    // advice splits it); finished threads leave their stacks right before it.
    std::uint64_t end = anonymous[i].end;
    for (std::size_t j = i + 1; j < anonymous.size() && anonymous[j].start == end; ++j)
      end = anonymous[j].end;
    const std::uint64_t start = anonymous[i].start;
    if (end - start < length)
      continue;
    // The block starts near the front of its own mapping, after the
    // allocator's header: look there only (reading untouched memory costs
    // memory, and a sanitizer's shadow mappings are terabytes). Find its
    // first full page of 0x61, step back to where the run begins, then up
    // to the 16-byte alignment that every allocator here gives (a header
    // may end in a byte that happens to be 0x61).
    const std::string head =
        memory.read(start, std::min<std::uint64_t>(anonymous[i].end - start, 8 << 20));
    for (std::uint64_t at = 0; at + page <= head.size(); at += page) {
      if (head.compare(at, page, fill) != 0)
        continue;
      while (at > 0 && head[at - 1] == 'a')
        --at;
      const std::uint64_t found = (start + at + 15) & ~std::uint64_t{15};
      if (end - found >= length)
        return {found, length};
      break;
    }
  }
  return {};
}

std::uint64_t smaps_bytes(pid_t pid, const Block &block, const std::string &field) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  std::uint64_t total = 0;
  bool covering = false;
  for (std::string line; std::getline(smaps, line);) {
    if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') != std::string::npos &&
        line.find(':') > line.find(' ')) {
      const auto dash = line.find('-');
      const std::uint64_t start = std::stoull(line.substr(0, dash), nullptr, 16);
      const std::uint64_t end = std::stoull(line.substr(dash + 1), nullptr, 16);
      covering = start < block.start + block.length && end > block.start;
    } else if (covering && line.rfind(field + ":", 0) == 0) {
      total += std::stoull(line.substr(field.size() + 1)) * 1024;
    }
  }
  return total;
}

std::uint64_t first_difference(pid_t pid, const Block &block, std::uint64_t stride) {
  const Memory memory(pid);
  const std::string fill(chunk, 'a');
  auto check = [&](std::uint64_t offset, std::uint64_t length) -> std::uint64_t {
    const std::string bytes = memory.read(block.start + offset, length);
    if (bytes.size() == length && std::memcmp(bytes.data(), fill.data(), length) == 0)
      return UINT64_MAX;
    const auto bad = std::find_if(bytes.begin(), bytes.end(), [](char c) { return c != 'a'; });
    return offset + static_cast<std::uint64_t>(bad - bytes.begin());
  };
  const std::uint64_t step = stride == 0 ? chunk : stride;
  for (std::uint64_t offset = 0; offset < block.length; offset += step) {
    const std::uint64_t length = std::min(stride == 0 ? chunk : page, block.length - offset);
    if (const auto bad = check(offset, length); bad != UINT64_MAX)
      return bad;
  }
  return block.length == 0
             ? UINT64_MAX
             : check(block.length - std::min(page, block.length), std::min(page, block.length));
}

int byte_after(pid_t pid, const Block &block) {
  const std::string byte = Memory(pid).read(block.start + block.length, 1);
  return byte.empty() ? -1 : static_cast<unsigned char>(byte[0]);
}

std::int64_t read_number(const std::string &path) {
  std::int64_t number = 0;
  if (!(std::ifstream(path) >> number))
    throw std::runtime_error("no number in " + path);
  return number;
}

}  // namespace driver
