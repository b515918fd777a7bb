// Starts the real memhold executable with chosen arguments and standard input,
// and reads what a user or the host can observe: its output, its exit status
// and the memory the waiting process holds.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace driver {

// Takes "--exe=PATH" (the executable under test, by default the one built
// beside the tests) and "--launcher=WORDS" (what starts it, e.g. wine).
void configure(int argc, char **argv);
bool windows_build();
bool sanitized_build();
// Why the executable cannot be run here, or "" when it can.
std::string unavailable();

// The tool's text with each "\n" as the build writes it (CRLF on Windows).
std::string native(std::string text);

struct Launch {
  std::vector<std::string> args;
  // Make any real allocation fail fast: a data-size limit, or the
  // sanitizer allocator's size limit.
  bool cap_memory = false;
  // Offer every page of the process to the kernel's same-page merging.
  bool merge = false;
  // Words that start the tool (and its launcher), e.g. a tracer.
  std::vector<std::string> prefix = {};
  // A cgroup's process list file that the tool joins before it starts.
  std::string cgroup = "";
};

struct Outcome {
  std::string out, err;
  int status = -1;  // exit status, or 128 + signal
};

class Tool {
 public:
  explicit Tool(const Launch &launch);
  ~Tool();  // kills the tool if it still runs
  Tool(const Tool &) = delete;
  Tool &operator=(const Tool &) = delete;

  pid_t pid() const { return pid_; }
  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }

  // Reads output until standard output holds `text` or the tool closes it.
  bool wait_for(const std::string &text, std::chrono::seconds limit);
  // True if the tool is still running after `time`, reading its output meanwhile.
  bool still_running_after(std::chrono::milliseconds time);
  void send(const std::string &input);
  void close_input();
  // Closes nothing: reads all output until the tool exits, then its status.
  Outcome finish(std::chrono::seconds limit = std::chrono::seconds(120));

 private:
  bool pump(std::chrono::steady_clock::time_point deadline, const std::string *until);
  pid_t pid_ = -1;
  int in_ = -1, outfd_ = -1, errfd_ = -1;
  std::string out_, err_;
};

// Runs the tool to its end with `input` on standard input, then end of file.
Outcome run(const Launch &launch, const std::string &input = "");

// The held block inside a waiting process.
struct Block {
  std::uint64_t start = 0, length = 0;
};

// Finds the run of `length` bytes of 0x61 in the process's writable anonymous
// memory: the start is where such a run begins. Returns a zero Block if none.
Block find_block(pid_t pid, std::uint64_t length);
// The sum of one field of smaps ("Rss", "AnonHugePages") over the mappings
// that cover [start, start + length), in bytes.
std::uint64_t smaps_bytes(pid_t pid, const Block &block, const std::string &field);
// Offsets inside the block (every byte when `stride` is 0, else one 4 KiB
// page every `stride` bytes plus the last page) whose byte differs from 0x61;
// returns the first such offset or UINT64_MAX when all match.
std::uint64_t first_difference(pid_t pid, const Block &block, std::uint64_t stride = 0);
// The byte just after the block.
int byte_after(pid_t pid, const Block &block);

// The number that a /proc or /sys file holds.
std::int64_t read_number(const std::string &path);

}  // namespace driver
