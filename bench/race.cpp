// One side of a race between processes on one buffer at full speed:
//
//   bench_race writer|reader <impl> <seconds> <block bytes> [<name>]
//
// The writer copies uniform blocks (every byte the same value, a new value each time) into the
// buffer; the reader copies the block out and counts the torn ones (a byte that differs from
// the first). impl is how the copy is guarded:
//   tovrel  the public Tovrel API (Write / Read of Main), under its named mutex;
//   floor   a robust, process-shared, recursive pthread mutex in a mapped file, on the system
//           calls directly;
//   boost   Boost.Interprocess: named_mutex, shared_memory_object and mapped_region;
//   nolock  the floor's mapped file with the lock taken out, to show that the reader's check
//           does see torn blocks.
// The process sets itself up (objects in $XDG_RUNTIME_DIR, its log in the current directory),
// prints "ready", waits for a line on standard input, runs for the given time and prints
// "<operations> <torn blocks>". The driver (bench/run) starts all sides and then lets them go
// at once.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Tovrel.h"

namespace {

namespace bip = boost::interprocess;

constexpr std::size_t maxBlock = 512;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "bench_race: %s: %s\n", what, std::strerror(errno));
  std::exit(2);
}

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The floor's objects: a mutex file and a data file in the session directory. Whoever opens
// the mutex file first (with O_EXCL) initialises it; the others wait until it is marked ready.
struct MutexFile {
  pthread_mutex_t m;
  volatile int ready;
};
MutexFile* floorMtx = nullptr;
unsigned char* floorBuf = nullptr;

void OpenFloor(const std::string& dir, bool lock) {
  const std::string data = dir + "/Race_Buffer";
  int fd = open(data.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, maxBlock) != 0) Die("data file");
  void* p = mmap(nullptr, maxBlock, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) Die("mmap");
  floorBuf = static_cast<unsigned char*>(p);
  close(fd);
  if (!lock) return;
  const std::string name = dir + "/Race_Mutex";
  fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const bool creator = fd >= 0;
  if (!creator) fd = open(name.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 || (creator && ftruncate(fd, sizeof(MutexFile)) != 0)) Die("mutex file");
  while (lseek(fd, 0, SEEK_END) < static_cast<off_t>(sizeof(MutexFile))) usleep(100);
  p = mmap(nullptr, sizeof(MutexFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) Die("mmap");
  close(fd);
  floorMtx = static_cast<MutexFile*>(p);
  if (creator) {
    pthread_mutexattr_t at;
    pthread_mutexattr_init(&at);
    pthread_mutexattr_setpshared(&at, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&at, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&at, PTHREAD_MUTEX_RECURSIVE);
    if (pthread_mutex_init(&floorMtx->m, &at) != 0) Die("pthread_mutex_init");
    __atomic_store_n(&floorMtx->ready, 1, __ATOMIC_RELEASE);
  } else {
    while (__atomic_load_n(&floorMtx->ready, __ATOMIC_ACQUIRE) == 0) usleep(100);
  }
}

void FloorLock() {
  if (pthread_mutex_lock(&floorMtx->m) == EOWNERDEAD) pthread_mutex_consistent(&floorMtx->m);
}

bip::named_mutex* boostMtx = nullptr;
bip::mapped_region* boostRegion = nullptr;

void OpenBoost(const std::string& name) {
  boostMtx = new bip::named_mutex(bip::open_or_create, name.c_str());
  bip::shared_memory_object shm(bip::open_or_create, name.c_str(), bip::read_write);
  shm.truncate(maxBlock);
  boostRegion = new bip::mapped_region(shm, bip::read_write);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: bench_race writer|reader tovrel|floor|boost|nolock <seconds> <bytes> "
                 "[<boost name>]\n");
    return 2;
  }
  const bool writer = std::strcmp(argv[1], "writer") == 0;
  const std::string impl = argv[2];
  const double secs = std::atof(argv[3]);
  const std::size_t n = static_cast<std::size_t>(std::atoi(argv[4]));
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg == nullptr || n < 1 || n > maxBlock) return 2;

  Tovrel::TWrtrDesc* w = nullptr;
  Tovrel::TRdrDesc* r = nullptr;
  if (impl == "tovrel") {
    Tovrel::Start();
    if (writer)
      w = Tovrel::NewWrtr(Tovrel::idMain);
    else
      r = Tovrel::NewRdr(Tovrel::idMain);
  } else if (impl == "floor" || impl == "nolock") {
    OpenFloor(xdg, impl == "floor");
  } else if (impl == "boost" && argc > 5) {
    OpenBoost(argv[5]);
  } else {
    return 2;
  }

  std::printf("ready\n");
  std::fflush(stdout);
  char go[16];
  if (std::fgets(go, sizeof go, stdin) == nullptr) return 2;

  enum Impl { tovrel, floorLock, boost, nolock };
  const Impl k = impl == "tovrel"  ? tovrel
                 : impl == "floor" ? floorLock
                 : impl == "boost" ? boost
                                   : nolock;
  alignas(64) unsigned char block[maxBlock];
  unsigned long long ops = 0, torn = 0;
  unsigned char x = 0;
  const double end = Now() + secs;
  for (;;) {
    for (int j = 0; j < 256; ++j) {
      if (writer) {
        std::memset(block, x++, n);
        if (k == tovrel) {
          Tovrel::Write(w, block, maxBlock, static_cast<CARD32>(n));
        } else if (k == floorLock) {
          FloorLock();
          std::memcpy(floorBuf, block, n);
          pthread_mutex_unlock(&floorMtx->m);
        } else if (k == boost) {
          boostMtx->lock();
          std::memcpy(boostRegion->get_address(), block, n);
          boostMtx->unlock();
        } else {
          std::memcpy(floorBuf, block, n);
        }
      } else {
        if (k == tovrel) {
          Tovrel::Read(r, block, maxBlock, static_cast<CARD32>(n));
        } else if (k == floorLock) {
          FloorLock();
          std::memcpy(block, floorBuf, n);
          pthread_mutex_unlock(&floorMtx->m);
        } else if (k == boost) {
          boostMtx->lock();
          std::memcpy(block, boostRegion->get_address(), n);
          boostMtx->unlock();
        } else {
          std::memcpy(block, floorBuf, n);
        }
        for (std::size_t i = 1; i < n; ++i) {
          if (block[i] != block[0]) {
            ++torn;
            break;
          }
        }
      }
      ++ops;
    }
    if (Now() >= end) break;
  }
  std::printf("%llu %llu\n", ops, torn);
  std::fflush(stdout);
  return 0;
}
