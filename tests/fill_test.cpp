// How the Linux build prepares its block, seen from outside: the system calls
// it makes (under strace), the pages that back the block (smaps), and which
// process the kernel ends when memory runs out (a memory cgroup).
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "driver.hpp"

using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t gib = std::uint64_t{1} << 30;
constexpr std::uint64_t huge_page = std::uint64_t{2} << 20;
const std::string prompt = "Memory allocated. Press Enter to free memory and quit\n";

std::string why_not_linux_build() {
  if (const std::string why = driver::unavailable(); !why.empty())
    return why;
  if (driver::windows_build())
    return "the Windows build takes its block from malloc and fills it as it comes";
  return "";
}

bool installed(const std::string &program) {
  return std::system(("command -v " + program + " >/dev/null").c_str()) == 0;
}

std::string text_of(const std::string &path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---- Huge pages --------------------------------------------------------------

TEST(Preparation, HugePagesBackTheHeldBlock) {
  if (const std::string why = why_not_linux_build(); !why.empty())
    GTEST_SKIP() << why;
  if (driver::sanitized_build())
    GTEST_SKIP() << "the sanitizer's allocator places the block on its own terms";
  const std::string thp = text_of("/sys/kernel/mm/transparent_hugepage/enabled");
  if (thp.empty() || thp.find("[never]") != std::string::npos)
    GTEST_SKIP() << "this kernel gives no transparent huge pages ("
                 << (thp.empty() ? "no such setting" : "enabled: " + thp) << ")";

  driver::Tool tool({{"-size", "1"}});
  ASSERT_TRUE(tool.wait_for(prompt, 300s)) << tool.out() << tool.err();
  const auto block = driver::find_block(tool.pid(), gib);
  ASSERT_EQ(block.length, gib);
  EXPECT_GE(driver::smaps_bytes(tool.pid(), block, "AnonHugePages"), gib * 9 / 10);
  tool.send("\n");
  EXPECT_EQ(tool.finish(60s).status, 0);
}

// ---- The kernel's part of the preparation, as strace sees it -------------------

struct Advice {
  std::uint64_t start, length;
  std::string result;
};

// The tool run under `strace -ff`, which writes one file per thread into a
// folder of its own, removed at the end.
class Traced {
 public:
  // `before`: words that start strace (e.g. taskset); `options`: strace's own.
  Traced(const std::string &name, const std::vector<std::string> &before,
         const std::vector<std::string> &options)
      : dir_(std::filesystem::temp_directory_path() /
             ("memhold-strace-" + std::to_string(getpid()) + "-" + name)) {
    std::filesystem::create_directories(dir_);
    launch.prefix = before;
    for (const char *word : {"strace", "-ff", "-qq"})
      launch.prefix.push_back(word);
    launch.prefix.insert(launch.prefix.end(), options.begin(), options.end());
    launch.prefix.push_back("-o");
    launch.prefix.push_back((dir_ / "trace").string());
    // The leak checker cannot run under a tracer.
    if (driver::sanitized_build())
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  }
  ~Traced() { std::filesystem::remove_all(dir_); }

  // The madvise calls with the given advice: thread id to its calls.
  std::map<std::string, std::vector<Advice>> calls(const std::string &advice) const {
    std::map<std::string, std::vector<Advice>> calls;
    for (const auto &file : std::filesystem::directory_iterator(dir_)) {
      std::ifstream in(file.path());
      for (std::string line; std::getline(in, line);) {
        unsigned long long start = 0, length = 0;
        char seen[64] = "", result[64] = "";
        if (std::sscanf(line.c_str(), "madvise(%llx, %llu, %63[^)]) = %63s", &start, &length, seen,
                        result) == 4 &&
            seen == advice)
          calls[file.path().extension().string()].push_back({start, length, result});
      }
    }
    return calls;
  }

  driver::Launch launch{{"-size", "1"}};

 private:
  std::filesystem::path dir_;
};

std::string why_not_traced() {
  if (const std::string why = why_not_linux_build(); !why.empty())
    return why;
  if (!installed("strace"))
    return "strace is not installed (Debian package strace)";
  return "";
}

struct Cpus {
  std::string name;
  std::vector<std::string> prefix;  // what restricts the CPUs the tool may use
  int count;
};

void PrintTo(const Cpus &cpus, std::ostream *os) {
  *os << cpus.name;
}

int cpus_allowed() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

class Populated : public testing::TestWithParam<Cpus> {};

// The block is 2 MiB aligned, advised to use huge pages, and made resident
// in one slice per CPU that the tool may run on, each from its own thread,
// every call accepted and all of them together covering the block exactly.
TEST_P(Populated, ByOneThreadPerAllowedCpuOverTheWholeBlock) {
  if (const std::string why = why_not_traced(); !why.empty())
    GTEST_SKIP() << why;
  const auto &[name, restrict, cpus] = GetParam();
  const Traced traced(name, restrict, {"-e", "trace=madvise"});
  {
    driver::Tool tool(traced.launch);
    ASSERT_TRUE(tool.wait_for(prompt, 300s)) << tool.out() << tool.err();
    tool.send("\n");
    EXPECT_EQ(tool.finish(60s).status, 0);
  }
  const auto hugepage = traced.calls("MADV_HUGEPAGE");
  const auto populate = traced.calls("MADV_POPULATE_WRITE");

  std::vector<Advice> huge, slices;
  for (const auto &[thread, calls] : hugepage)
    for (const auto &c : calls)
      if (c.length == gib)
        huge.push_back(c);
  ASSERT_EQ(huge.size(), 1u) << "one huge-page advice for the whole block";
  EXPECT_EQ(huge[0].result, "0");
  EXPECT_EQ(huge[0].start % huge_page, 0u) << "the block is aligned on huge pages";

  EXPECT_EQ(populate.size(), static_cast<std::size_t>(cpus)) << "threads that populate";
  for (const auto &[thread, calls] : populate) {
    EXPECT_EQ(calls.size(), 1u) << "thread " << thread;
    slices.insert(slices.end(), calls.begin(), calls.end());
  }
  std::sort(slices.begin(), slices.end(), [](auto &a, auto &b) { return a.start < b.start; });
  std::uint64_t next = huge[0].start;
  for (const auto &slice : slices) {
    EXPECT_EQ(slice.result, "0") << "populating " << slice.length << " bytes";
    EXPECT_EQ(slice.start, next) << "the slices follow each other";
    EXPECT_EQ(slice.length % huge_page, 0u);
    next = slice.start + slice.length;
  }
  EXPECT_EQ(next, huge[0].start + gib) << "the slices end with the block";
}

INSTANTIATE_TEST_SUITE_P(Cpus, Populated,
                         testing::Values(Cpus{"AllAllowed", {}, cpus_allowed()},
                                         Cpus{"OneAllowed", {"taskset", "-c", "0"}, 1}),
                         [](const auto &info) { return info.param.name; });

// ---- When the kernel or the C library says no ------------------------------------
// strace makes the calls fail as an older kernel, a short machine or a
// process limit would.

struct Refusal {
  std::string name;
  std::string inject;  // strace's fault injection
  int status;
};

void PrintTo(const Refusal &refusal, std::ostream *os) {
  *os << refusal.name;
}

// The tool that strace (pid) started.
pid_t child_of(pid_t pid) {
  const std::string children =
      text_of("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  return static_cast<pid_t>(std::atoi(children.c_str()));
}

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, TheFillGoesOnOrTheToolSaysWhy) {
  if (const std::string why = why_not_traced(); !why.empty())
    GTEST_SKIP() << why;
  if (driver::sanitized_build())
    GTEST_SKIP() << "the sanitizer's runtime needs the calls that are made to fail here";
  const auto &[name, inject, status] = GetParam();
  // strace injects faults only into the calls it traces.
  const Traced traced(name, {}, {"-e", "trace=madvise,clone,clone3", "-e", "inject=" + inject});
  driver::Tool tool(traced.launch);
  if (status == 0) {
    ASSERT_TRUE(tool.wait_for(prompt, 300s)) << tool.out() << tool.err();
    const pid_t memhold = child_of(tool.pid());
    kill(memhold, SIGSTOP);
    const auto block = driver::find_block(memhold, gib);
    ASSERT_EQ(block.length, gib) << "no block of 0x61 at the prompt";
    EXPECT_EQ(driver::first_difference(memhold, block), UINT64_MAX);
    kill(memhold, SIGCONT);
    tool.send("\n");
  }
  tool.close_input();
  const auto result = tool.finish(120s);
  EXPECT_EQ(result.status, status);
  if (status == 0) {
    EXPECT_EQ(result.err, "");
  } else {
    EXPECT_EQ(result.out.find(prompt), std::string::npos);
    EXPECT_EQ(result.err, "memhold: cannot allocate 1 GiB (1073741824 bytes)\n");
  }
  if (inject.rfind("clone", 0) == 0) {
    // No helper: the main thread populates every slice itself.
    const auto populate = traced.calls("MADV_POPULATE_WRITE");
    ASSERT_EQ(populate.size(), 1u) << "threads that populate";
    std::uint64_t covered = 0;
    for (const auto &call : populate.begin()->second) {
      EXPECT_EQ(call.result, "0");
      covered += call.length;
    }
    EXPECT_EQ(covered, gib);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, Refused,
    testing::Values(Refusal{"AdviceRefused", "madvise:error=EINVAL", 0},
                    Refusal{"NoMemoryBehindTheBlock", "madvise:error=ENOMEM", 1},
                    Refusal{"NoHelperThreads", "clone,clone3:error=EAGAIN", 0}),
    [](const auto &info) { return info.param.name; });

// ---- Out of memory -------------------------------------------------------------

// A memory cgroup of its own, limited to `limit` bytes, removed at the end.
class MemoryCgroup {
 public:
  explicit MemoryCgroup(std::uint64_t limit) {
    const std::string name = "memhold-test-" + std::to_string(getpid());
    if (std::filesystem::exists("/sys/fs/cgroup/cgroup.controllers")) {
      if (text_of("/sys/fs/cgroup/cgroup.controllers").find("memory") == std::string::npos)
        return;
      std::ofstream("/sys/fs/cgroup/cgroup.subtree_control") << "+memory" << std::flush;
      dir_ = "/sys/fs/cgroup/" + name;
      limit_file_ = "memory.max";
    } else if (std::filesystem::exists("/sys/fs/cgroup/memory/cgroup.procs")) {
      dir_ = "/sys/fs/cgroup/memory/" + name;
      limit_file_ = "memory.limit_in_bytes";
    } else {
      return;
    }
    if (mkdir(dir_.c_str(), 0755) != 0) {
      dir_.clear();
      return;
    }
    if (!(std::ofstream(dir_ + "/" + limit_file_) << limit << std::flush))
      dir_.clear();
  }
  ~MemoryCgroup() {
    // Its processes have been killed; the kernel lets the group go shortly after.
    for (int tries = 0; !dir_.empty() && rmdir(dir_.c_str()) != 0 && tries < 50; ++tries)
      std::this_thread::sleep_for(100ms);
  }
  bool made() const { return !dir_.empty(); }
  std::string procs() const { return dir_ + "/cgroup.procs"; }

 private:
  std::string dir_, limit_file_;
};

// Another program in the same cgroup holding `bytes` of its own memory, with
// the ordinary out-of-memory score.
class Bystander {
 public:
  Bystander(const std::string &procs, std::uint64_t bytes) {
    int ready[2];
    if (pipe(ready) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      std::ofstream(procs) << 0 << std::flush;
      std::ofstream("/proc/self/oom_score_adj") << 0 << std::flush;
      void *memory = std::malloc(bytes);
      if (memory == nullptr)
        _exit(1);
      std::memset(memory, 0x62, bytes);
      if (write(ready[1], "r", 1) != 1)
        _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char byte;
    ready_ = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~Bystander() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }
  bool alive() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

TEST(OutOfMemory, TheToolIsKilledRatherThanAnotherProgram) {
  if (const std::string why = why_not_linux_build(); !why.empty())
    GTEST_SKIP() << why;
  if (geteuid() != 0)
    GTEST_SKIP() << "a memory cgroup is made by root only; run the tests as root";
  const MemoryCgroup group(1536 << 20);
  if (!group.made())
    GTEST_SKIP() << "no memory cgroup can be made here (neither cgroup v2 memory.max nor v1 "
                    "memory.limit_in_bytes)";
  const Bystander bystander(group.procs(), gib);
  ASSERT_TRUE(bystander.ready()) << "the bystander could not take its memory";

  driver::Launch launch{{"-size", "1"}};
  launch.cgroup = group.procs();
  driver::Tool tool(launch);
  tool.close_input();  // a tool that survives ends at once after its prompt
  const auto result = tool.finish(300s);
  EXPECT_EQ(result.status, 128 + SIGKILL) << "the tool is the one killed\n" << result.out;
  EXPECT_EQ(result.out.find(prompt), std::string::npos);
  EXPECT_TRUE(bystander.alive()) << "the bystander keeps its memory";
}

// Without the cgroup: the score the tool offers, while it holds its block.
TEST(OutOfMemory, TheHoldingToolOffersItselfFirst) {
  if (const std::string why = why_not_linux_build(); !why.empty())
    GTEST_SKIP() << why;
  driver::Tool tool({{"-size", "1"}});
  ASSERT_TRUE(tool.wait_for(prompt, 300s)) << tool.out() << tool.err();
  EXPECT_EQ(driver::read_number("/proc/" + std::to_string(tool.pid()) + "/oom_score_adj"), 1000);
  tool.send("\n");
  EXPECT_EQ(tool.finish(60s).status, 0);
}

}  // namespace
