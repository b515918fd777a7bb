// Peers for the fill benchmark, one program: "naive" mallocs and memsets the
// block as a plain program would; "floor" makes the block resident first and
// times only a second memset, the memory's own speed. Both print "start" and
// "filled" around the timed fill, then wait for a character on standard input,
// like memhold.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
  if (argc != 3)
    return 2;
  const std::string mode = argv[1];
  const std::size_t bytes = std::strtoull(argv[2], nullptr, 10) << 30;
  char *block = static_cast<char *>(std::malloc(bytes));
  if (block == nullptr)
    return 1;
  if (mode == "floor")
    std::memset(block, 0x77, bytes);  // not 0: malloc + memset 0 becomes calloc, touching nothing
  std::puts("start");
  std::fflush(stdout);
  std::memset(block, 0x61, bytes);
  std::puts("filled");
  std::fflush(stdout);
  std::getchar();
  std::free(block);
  return 0;
}
