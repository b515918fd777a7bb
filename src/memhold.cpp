// memhold: takes one block of N GiB, writes 0x61 into every byte of it and
// holds it until Enter is pressed, so that a KVM host can merge its pages.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

static_assert(sizeof(void *) == 8, "a 64-bit process is needed: the default block alone is 10 GiB");

// ---- Platform differences (Windows / Linux) -------------------------------
#ifdef _WIN32
#define egal_sans_casse(a, b) (_stricmp((a), (b)) == 0)

// Windows commits the memory in malloc: nothing more to prepare.
static bool preparer_bloc(void *, std::uint64_t) {
  return true;
}
#else
#include <strings.h>
#include <sys/mman.h>

#include <cerrno>
#define egal_sans_casse(a, b) (strcasecmp((a), (b)) == 0)

// Making the whole block resident in one call costs less than a fault for
// each page during the fill, and says ENOMEM instead of letting the fill be
// killed when memory runs out. Kernels before 5.14 refuse the advice: the
// fill then faults the pages in itself.
static bool preparer_bloc(void *bloc, std::uint64_t octets) {
#ifdef MADV_POPULATE_WRITE
  if (madvise(bloc, octets, MADV_POPULATE_WRITE) != 0 && errno == ENOMEM)
    return false;
#endif
  return true;
}
#endif
// ---------------------------------------------------------------------------

std::uint32_t size;
void *memoire;

void initiation_des_variables() {
  std::printf("\nOrvastine - Test shared memory by KVM - Version 1.0");
  std::printf("\nCreate on April 21, 2020, Last compilation on March 14, 2020");
  std::printf("\nWritten by the memhold developers");
  std::puts("\n");
  size = 10;
}

// strtod in the "C" locale (never changed here), truncated toward zero to a
// signed 64-bit integer, of which the low 32 bits are kept. Casting a double
// outside that range is undefined, so such values, infinities and NaN give 0.
static std::uint32_t lire_nombre(const char *texte) {
  const double valeur = std::strtod(texte, nullptr);
  if (!(valeur >= -0x1p63 && valeur < 0x1p63))
    return 0;
  return static_cast<std::uint32_t>(static_cast<std::int64_t>(valeur));
}

void gestion_des_arguments(int argc, char **argv) {
  if (argc > 1) {
    for (const char *aide : {"/?", "-?", "--?", "-help", "--help"}) {
      if (std::strcmp(argv[1], aide) == 0) {
        std::printf("GENERAL OPTIONS");
        std::printf("\n-?          This help");
        std::printf("\n-size       Size of allocated memory (Go)        Defaut: %d",
                    static_cast<std::int32_t>(size));
        std::putchar('\n');
        std::exit(0);
      }
    }
  }
  const auto nombre = static_cast<std::uint32_t>(argc);
  for (std::uint32_t i = 1; i < nombre; ++i) {
    // A trailing "-size" has no value: it leaves the count as it is.
    if (egal_sans_casse(argv[i], "-size") && i + 1 < nombre)
      size = lire_nombre(argv[i + 1]);
  }
}

int main(int argc, char **argv) {
  initiation_des_variables();
  gestion_des_arguments(argc, argv);

  // Flushed so that a script reading a pipe sees each line as it happens.
  std::printf("Memory Asked : %d Go - Wait .... please\n", static_cast<std::int32_t>(size));
  std::fflush(stdout);

  const std::uint64_t octets = std::uint64_t{size} << 30;
  if (octets != 0) {
    memoire = std::malloc(octets);
    if (memoire == nullptr || !preparer_bloc(memoire, octets)) {
      std::free(memoire);
      std::fprintf(stderr, "memhold: cannot allocate %" PRIu32 " GiB (%" PRIu64 " bytes)\n", size,
                   octets);
      return 1;
    }
    std::memset(memoire, 0x61, octets);
  }

  std::puts("Memory allocated. Press Enter to free memory and quit");
  std::fflush(stdout);
  std::getchar();
  std::free(memoire);
  return 0;
}
