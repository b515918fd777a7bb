// Peers for the fill benchmark, one program, each filling N GiB with 0x61:
//   naive    one malloc, one memset, as a plain program would;
//   huge1    a 2 MiB-aligned block advised to use huge pages, made resident by
//            one MADV_POPULATE_WRITE call, then one memset;
//   hugeall  the same, populated in one slice per allowed CPU, each slice from
//            its own thread (how QEMU preallocates guest memory);
//   floor    a block made resident beforehand: the timed memset is the
//            memory's own speed.
// Each prints "start" and "filled" around its timed part, then waits for a
// character on standard input, like memhold. A refused advice ends the run
// with status 3: a benchmark of a path that fell back measures nothing.
#include <sched.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

void advise(char *at, std::size_t bytes, int advice, const char *name) {
  if (madvise(at, bytes, advice) != 0) {
    std::fprintf(stderr, "peers: madvise %s: %s\n", name, std::strerror(errno));
    std::exit(3);
  }
}

void populate(char *block, std::size_t bytes, std::size_t parts) {
  const std::size_t pages = bytes / huge_page;
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < parts; ++i) {
    const std::size_t first = pages * i / parts, end = pages * (i + 1) / parts;
    threads.emplace_back(advise, block + first * huge_page, (end - first) * huge_page,
                         MADV_POPULATE_WRITE, "MADV_POPULATE_WRITE");
  }
  for (auto &thread : threads)
    thread.join();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3)
    return 2;
  const std::string mode = argv[1];
  const std::size_t bytes = std::strtoull(argv[2], nullptr, 10) << 30;
  const bool huge = mode == "huge1" || mode == "hugeall";
  char *block = static_cast<char *>(huge ? std::aligned_alloc(huge_page, bytes)
                                         : std::malloc(bytes));
  if (block == nullptr)
    return 1;
  if (mode == "floor")
    std::memset(block, 0x77, bytes);  // not 0: malloc + memset 0 becomes calloc, touching nothing
  std::puts("start");
  std::fflush(stdout);
  if (huge) {
    cpu_set_t cpus;
    sched_getaffinity(0, sizeof cpus, &cpus);
    advise(block, bytes, MADV_HUGEPAGE, "MADV_HUGEPAGE");
    populate(block, bytes, mode == "huge1" ? 1 : static_cast<std::size_t>(CPU_COUNT(&cpus)));
  }
  std::memset(block, 0x61, bytes);
  std::puts("filled");
  std::fflush(stdout);
  std::getchar();
  std::free(block);
  return 0;
}
