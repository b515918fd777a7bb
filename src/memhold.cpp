// memhold: takes one block of N GiB, writes 0x61 into every byte of it and
// holds it until Enter is pressed, so that a KVM host can merge its pages.
#include <algorithm>
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
static void *allouer_bloc(std::uint64_t octets) {
  return std::malloc(octets);
}
static bool preparer_bloc(void *, std::uint64_t) {
  return true;
}
#else
#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <sys/mman.h>

#include <cerrno>
#define egal_sans_casse(a, b) (strcasecmp((a), (b)) == 0)

constexpr std::uint64_t grande_page = std::uint64_t{2} << 20;

// Aligned on huge pages, so that the whole block can be backed by them. When
// memory runs short, the kernel's out-of-memory killer should end this tool
// rather than whatever else runs beside it: it offers itself first (a
// failure to do so changes nothing else).
static void *allouer_bloc(std::uint64_t octets) {
  if (FILE *score = std::fopen("/proc/self/oom_score_adj", "w")) {
    std::fputs("1000", score);
    std::fclose(score);
  }
  return std::aligned_alloc(grande_page, octets);
}

struct tranche {
  char *debut;
  std::uint64_t octets;
  int erreur;
};

static void *peupler(void *arg) {
  auto *t = static_cast<tranche *>(arg);
#ifdef MADV_POPULATE_WRITE
  t->erreur = madvise(t->debut, t->octets, MADV_POPULATE_WRITE) == 0 ? 0 : errno;
#else
  t->erreur = EINVAL;
#endif
  return nullptr;
}

// Huge pages, and the kernel's own population of the block before the fill:
// a fault for each 4 KiB page costs far more, above all when the hypervisor
// has to back the guest's memory again. The population is split into one
// slice for each CPU the process may run on, since the faults of each slice
// are served in parallel; the main thread takes the first slice and joins
// the others before it fills the block. It returns false only when the
// kernel cannot supply the memory (ENOMEM); refused advice (kernels before
// 5.14) or a helper that cannot start leaves the work to the fill.
static bool preparer_bloc(void *bloc, std::uint64_t octets) {
  // Refused where the kernel has no transparent huge pages: small pages then.
  madvise(bloc, octets, MADV_HUGEPAGE);
  cpu_set_t cpus;
  const int nombre = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  const std::uint64_t pages = octets / grande_page;
  const std::uint64_t parts = std::min<std::uint64_t>(static_cast<std::uint64_t>(nombre), pages);
  tranche tranches[CPU_SETSIZE];
  pthread_t aides[CPU_SETSIZE];
  bool lancee[CPU_SETSIZE] = {};
  for (std::uint64_t i = 0, faites = 0; i < parts; ++i) {
    const std::uint64_t suivantes = pages * (i + 1) / parts;
    tranches[i] = {static_cast<char *>(bloc) + faites * grande_page,
                   (suivantes - faites) * grande_page, 0};
    faites = suivantes;
    if (i > 0)
      lancee[i] = pthread_create(&aides[i], nullptr, peupler, &tranches[i]) == 0;
  }
  bool assez = true;
  for (std::uint64_t i = 0; i < parts; ++i) {
    if (lancee[i])
      pthread_join(aides[i], nullptr);
    else
      peupler(&tranches[i]);
    assez = assez && tranches[i].erreur != ENOMEM;
  }
  return assez;
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
    memoire = allouer_bloc(octets);
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
