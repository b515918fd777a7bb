// The tool's purpose: the kernel's same-page merging merges the block it holds.
// Needs root and a kernel that can offer a whole process to the scanner.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver.hpp"

#ifndef PR_GET_MEMORY_MERGE
#define PR_GET_MEMORY_MERGE 68
#endif

using namespace std::chrono_literals;

namespace {

const std::string ksm = "/sys/kernel/mm/ksm/";

void write_setting(const std::string &name, const std::string &value) {
  std::ofstream(ksm + name) << value << std::flush;
}

std::string read_setting(const std::string &name) {
  std::string value;
  std::ifstream(ksm + name) >> value;
  return value;
}

// Scans fast while the test runs; puts every setting back afterwards, also
// when the test fails.
class FastScanner {
 public:
  FastScanner() {
    for (const char *name : {"pages_to_scan", "sleep_millisecs", "run"})
      saved_[name] = read_setting(name);
    write_setting("pages_to_scan", "20000");
    write_setting("sleep_millisecs", "10");
    write_setting("run", "1");
  }
  ~FastScanner() {
    for (const char *name : {"run", "pages_to_scan", "sleep_millisecs"})
      write_setting(name, saved_[name]);
  }

 private:
  std::map<std::string, std::string> saved_;
};

std::string why_merging_cannot_be_tested() {
  if (geteuid() != 0)
    return "same-page merging is set up by root only; run the tests as root";
  if (access((ksm + "run").c_str(), W_OK) != 0)
    return "this kernel offers no same-page merging (" + ksm + " is missing or read-only)";
  if (prctl(PR_GET_MEMORY_MERGE, 0, 0, 0, 0) < 0)
    return "this kernel cannot offer a whole process to the scanner (Linux 6.4 or later)";
  if (driver::windows_build())
    return "the Windows build holds its block through the same code as the Linux one";
  if (driver::sanitized_build())
    return "the sanitizer's terabytes of shadow address space would take the scanner hours";
  return "";
}

// The lines that tools/ksm-watch printed in 3 s.
std::vector<std::string> watch_for_a_while(const std::string &options = "") {
  const std::string command = "timeout 3 " MEMHOLD_SOURCE_DIR "/tools/ksm-watch " + options;
  FILE *pipe = popen(command.c_str(), "r");
  std::vector<std::string> lines;
  char line[256];
  while (std::fgets(line, sizeof line, pipe) != nullptr)
    lines.emplace_back(line);
  pclose(pipe);
  return lines;
}

template <std::size_t N>
std::array<std::string, N> fields_of(const std::string &line) {
  std::istringstream fields(line);
  std::array<std::string, N> result;
  for (auto &field : result)
    fields >> field;
  return result;
}

TEST(Merging, TheHeldBlockIsMergedAndTheWatcherShowsTheSaving) {
  if (const std::string why = why_merging_cannot_be_tested(); !why.empty())
    GTEST_SKIP() << why;
  constexpr std::int64_t pages = (std::int64_t{1} << 30) / 4096;
  const FastScanner scanner;
  driver::Tool tool({{"-size", "1"}, false, true});
  ASSERT_TRUE(tool.wait_for("Memory allocated.", 120s)) << tool.out() << tool.err();

  const std::string merging = "/proc/" + std::to_string(tool.pid()) + "/ksm_merging_pages";
  std::int64_t merged = 0;
  for (int tries = 0; tries < 600 && merged < pages * 99 / 100; ++tries) {
    std::this_thread::sleep_for(100ms);
    merged = driver::read_number(merging);
  }
  ASSERT_GE(merged, pages * 99 / 100) << "pages of the block merged within 60 s";

  // Each shared page saves all its sharers but itself.
  const auto counters = watch_for_a_while();
  ASSERT_FALSE(counters.empty());
  const auto [time, shared, sharing, saved_mib] = fields_of<4>(counters.back());
  EXPECT_GE(std::stoll(saved_mib), 1024 * 95 / 100) << "ksm-watch: " << counters.back();

  // The per-process view lists the tool with its merged pages.
  std::int64_t listed = -1;
  for (const auto &line : watch_for_a_while("--processes"))
    if (const auto [pid, name, pages_merged] = fields_of<3>(line);
        pid == std::to_string(tool.pid()) && name == "memhold")
      listed = std::stoll(pages_merged);
  EXPECT_GE(listed, pages * 99 / 100) << "ksm-watch --processes: the tool's merged pages";

  tool.send("\n");
  EXPECT_EQ(tool.finish(60s).status, 0);
}

}  // namespace
