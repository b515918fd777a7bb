// Black-box tests: the real executable, its output, exit status and memory.
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "driver.hpp"

using namespace std::chrono_literals;
using driver::Launch;
using driver::native;

namespace {

const std::string banner =
    "\nOrvastine - Test shared memory by KVM - Version 1.0"
    "\nCreate on April 21, 2020, Last compilation on March 14, 2020"
    "\nWritten by the memhold developers\n\n";
const std::string help =
    "GENERAL OPTIONS\n"
    "-?          This help\n"
    "-size       Size of allocated memory (Go)        Defaut: 10\n";
const std::string prompt = "Memory allocated. Press Enter to free memory and quit\n";

std::string announcement(std::uint32_t count) {
  return "Memory Asked : " + std::to_string(static_cast<std::int32_t>(count)) +
         " Go - Wait .... please\n";
}

std::string no_memory(std::uint32_t count) {
  return "memhold: cannot allocate " + std::to_string(count) + " GiB (" +
         std::to_string(std::uint64_t{count} << 30) + " bytes)\n";
}

std::string shown(const std::vector<std::string> &args) {
  std::string text = "memhold";
  for (const auto &arg : args)
    text += " [" + arg + "]";
  return text;
}

// A readable test name from the arguments: "3_msize_2x9" for case 3, "-size 2.9".
std::string name_of(std::size_t index, const std::vector<std::string> &args) {
  std::string name = std::to_string(index);
  for (const auto &arg : args) {
    name += '_';
    for (const char c : arg)
      name += std::isalnum(static_cast<unsigned char>(c)) ? c : (c == '-' ? 'm' : 'x');
  }
  return name;
}

template <class Case>
std::string case_name(const testing::TestParamInfo<Case> &info) {
  return name_of(info.index, info.param.args);
}

// Every table's case starts with the arguments it runs the tool with.
struct Args {
  std::vector<std::string> args;
};
struct Count {
  std::vector<std::string> args;
  std::uint32_t count;
};
struct Hold {
  std::vector<std::string> args;
  std::uint32_t gib;
  std::uint64_t stride;  // 0: every byte is read; else a page every `stride` bytes
};
void PrintTo(const Args &c, std::ostream *os) {
  *os << shown(c.args);
}
void PrintTo(const Count &c, std::ostream *os) {
  *os << shown(c.args);
}
void PrintTo(const Hold &c, std::ostream *os) {
  *os << shown(c.args);
}

// Skips, saying why, where the executable cannot be run (Windows build
// without Wine, or not built).
class ToolTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = driver::unavailable(); !why.empty())
      GTEST_SKIP() << why;
  }
};
template <class Case>
class TableTest : public ToolTest, public testing::WithParamInterface<Case> {};

// ---- Help ------------------------------------------------------------------

using Help = TableTest<Args>;

TEST_P(Help, PrintsBannerAndOptionsThenExitsZero) {
  const auto result = driver::run({this->GetParam().args, true});
  EXPECT_EQ(result.out, native(banner + help));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    FirstArgument, Help,
    testing::Values(Args{{"/?"}}, Args{{"-?"}}, Args{{"--?"}}, Args{{"-help"}}, Args{{"--help"}},
                    Args{{"-?", "x"}},
                    // The help is given before "-size" is read: it shows the default.
                    Args{{"-?", "-size", "3"}}, Args{{"--help", "-size", "0"}}),
    case_name<Args>);

// ---- Count from the command line -----------------------------------------
// Each case runs with memory capped, so that a real count fails fast through
// the allocation error; a count of 0 holds nothing and ends at end of input.

using CommandLine = TableTest<Count>;

TEST_P(CommandLine, AnnouncesTheCountItReads) {
  const auto &[args, count] = this->GetParam();
  const auto result = driver::run({args, true});
  SCOPED_TRACE(shown(args));
  if (count == 0) {
    EXPECT_EQ(result.out, native(banner + announcement(0) + prompt));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  } else {
    EXPECT_EQ(result.out, native(banner + announcement(count)));
    EXPECT_EQ(result.err, native(no_memory(count)));
    EXPECT_EQ(result.status, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, CommandLine,
    testing::Values(
        Count{{"-size", "3"}, 3}, Count{{"-size", "2.9"}, 2}, Count{{"-size", "5GB"}, 5},
        Count{{"-size", "0x10"}, 16}, Count{{"-size", "1e1"}, 10}, Count{{"-size", "abc"}, 0},
        Count{{"-size", "-0.5"}, 0}, Count{{"-size", "-1"}, 4294967295},
        Count{{"-size", "4294967297"}, 1}, Count{{"-size", "1e10"}, 1410065408},
        Count{{"-size", "1e19"}, 0}, Count{{"-size", "inf"}, 0}, Count{{"-size", "nan"}, 0},
        Count{{"-size", "-inf"}, 0}, Count{{"-size", ""}, 0}, Count{{"-size", "  +7"}, 7},
        Count{{"-size", "2147483648"}, 2147483648}, Count{{"-size", "4294967296"}, 0},
        Count{{"-size", "-4294967295.9"}, 1}, Count{{"-size", "9223372036854774784"}, 4294966272},
        Count{{"-size", "-9223372036854775808"}, 0}, Count{{"-size", "9223372036854775808"}, 0},
        Count{{"-size", "1,5"}, 1}, Count{{"-size", "0x1p4"}, 16}, Count{{"-size", "1e-300"}, 0}),
    case_name<Count>);

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLine,
    testing::Values(Count{{}, 10},                           // default
                    Count{{"-size", "3", "-size", "5"}, 5},  // the last one wins
                    Count{{"-size", "-size", "4"}, 4},       // "-size" read as a value
                    Count{{"-size", "4", "-size"}, 4},       // no value: count kept
                    Count{{"-size"}, 10},                    //
                    Count{{"-SIZE", "3"}, 3}, Count{{"-SiZe", "0"}, 0}, Count{{"--size", "3"}, 10},
                    Count{{"-size=3"}, 10}, Count{{"-sizes", "3"}, 10}, Count{{"size", "3"}, 10},
                    Count{{"junk", "-size", "0", "more"}, 0},
                    // Help switches count only first and exactly.
                    Count{{"-size", "2", "-?"}, 2}, Count{{"x", "/?"}, 10}, Count{{"-HELP"}, 10},
                    Count{{"-Help"}, 10}, Count{{"/?x"}, 10}),
    case_name<Count>);

// ---- The wait --------------------------------------------------------------

using Wait = ToolTest;

TEST_F(Wait, EndsAtEndOfInput) {
  const auto result = driver::run({{"-size", "0"}, true});
  EXPECT_EQ(result.out, native(banner + announcement(0) + prompt));
  EXPECT_EQ(result.status, 0);
}

TEST_F(Wait, EndsAtTheFirstCharacterWithInputStillOpen) {
  for (const std::string typed : {"\n", "x", "several words\n"}) {
    driver::Tool tool({{"-size", "0"}, true});
    ASSERT_TRUE(tool.wait_for(native(prompt), 30s));
    EXPECT_TRUE(tool.still_running_after(200ms)) << "it must wait for a keystroke";
    tool.send(typed);
    const auto result = tool.finish(30s);
    EXPECT_EQ(result.status, 0) << "typed [" << typed << "]";
    EXPECT_EQ(result.out, native(banner + announcement(0) + prompt));
    EXPECT_EQ(result.err, "");
  }
}

// ---- The held block --------------------------------------------------------

using Holds = TableTest<Hold>;

TEST_P(Holds, EveryByteIsResidentAndFilledUntilEnter) {
  const auto &[args, gib, stride] = this->GetParam();
  const std::uint64_t length = std::uint64_t{gib} << 30;
  driver::Tool tool({args});
  const std::string expected = native(banner + announcement(gib) + prompt);
  ASSERT_TRUE(tool.wait_for(expected, 300s)) << tool.out() << tool.err();
  // The prompt says the work is done: the block is checked as it stands then.
  kill(tool.pid(), SIGSTOP);
  EXPECT_EQ(tool.out(), expected);

  const auto block = driver::find_block(tool.pid(), length);
  ASSERT_EQ(block.length, length) << "no run of " << length << " bytes of 0x61 at the prompt";
  EXPECT_GE(driver::smaps_bytes(tool.pid(), block, "Rss"), length);
  EXPECT_EQ(driver::first_difference(tool.pid(), block, stride), UINT64_MAX);
  EXPECT_NE(driver::byte_after(tool.pid(), block), 'a') << "written past the block";
  kill(tool.pid(), SIGCONT);

  tool.send("\n");
  const auto result = tool.finish(120s);
  EXPECT_EQ(result.out, expected) << "nothing is printed after the prompt";
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Holds,
                         testing::Values(Hold{{"-size", "1"}, 1, 0},
                                         // Past 2^32 bytes: the length must not wrap.
                                         Hold{{"-size", "4"}, 4, 0},
                                         Hold{{}, 10, std::uint64_t{16} << 20}),
                         case_name<Hold>);

}  // namespace
