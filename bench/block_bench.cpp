// The block path and the log in one process, each next to its floor: Tovrel.Write and
// Tovrel.Read against lock + copy + unlock written directly on the system calls (a robust,
// process-shared, recursive pthread mutex in a mapped file, like the one under Tovrel; a plain
// process-shared one for reference), against memcpy alone, and against Boost.Interprocess's
// named_mutex with a shared_memory_object; Log.Write against fstat + write of the same bytes to
// a file opened for appending.
//
// The process runs in a fresh session directory (under /dev/shm, as the per-user runtime
// directory is a tmpfs) and a fresh working directory (under $TMPDIR or /tmp, where the log file
// and its floor's file lie), both removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Cfg.h"
#include "Log.h"
#include "Tovrel.h"

namespace {

namespace bip = boost::interprocess;

constexpr std::size_t maxBlock = 512;  // the length of the Main buffer
alignas(64) unsigned char src[maxBlock];
alignas(64) unsigned char dst[maxBlock];

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "bench_block: %s: %s\n", what, std::strerror(errno));
  std::exit(2);
}

// ---- The floor: a pthread mutex in a mapped file, and a mapped data file ----------------------

struct Floor {
  pthread_mutex_t* m = nullptr;
  unsigned char* a = nullptr;
};

void* MapFile(const char* name, std::size_t n) {
  const int fd = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(n)) != 0) Die(name);
  void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) Die("mmap");
  close(fd);
  return p;
}

Floor NewFloor(const std::string& dir, const char* name, bool robust) {
  Floor f;
  f.m = static_cast<pthread_mutex_t*>(
      MapFile((dir + "/" + name + "_Mutex").c_str(), sizeof(pthread_mutex_t)));
  f.a = static_cast<unsigned char*>(MapFile((dir + "/" + name + "_Buffer").c_str(), maxBlock));
  pthread_mutexattr_t at;
  pthread_mutexattr_init(&at);
  pthread_mutexattr_setpshared(&at, PTHREAD_PROCESS_SHARED);
  if (robust) {
    pthread_mutexattr_setrobust(&at, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&at, PTHREAD_MUTEX_RECURSIVE);
  }
  if (pthread_mutex_init(f.m, &at) != 0) Die("pthread_mutex_init");
  pthread_mutexattr_destroy(&at);
  return f;
}

// A robust mutex whose owner died is made consistent at once, as the layer does.
inline void Lock(pthread_mutex_t* m) {
  const int e = pthread_mutex_lock(m);
  if (e == EOWNERDEAD) pthread_mutex_consistent(m);
}

Floor robustFloor, plainFloor;

// ---- The peer: Boost.Interprocess --------------------------------------------------------------

std::string boostName;
bip::named_mutex* boostMtx = nullptr;
bip::mapped_region* boostRegion = nullptr;

void NewBoost() {
  boostName = "tovrel_bench_" + std::to_string(getpid());
  bip::named_mutex::remove(boostName.c_str());
  bip::shared_memory_object::remove(boostName.c_str());
  boostMtx = new bip::named_mutex(bip::create_only, boostName.c_str());
  bip::shared_memory_object shm(bip::create_only, boostName.c_str(), bip::read_write);
  shm.truncate(maxBlock);
  boostRegion = new bip::mapped_region(shm, bip::read_write);
}

void RemoveBoost() {
  bip::named_mutex::remove(boostName.c_str());
  bip::shared_memory_object::remove(boostName.c_str());
}

// ---- Tovrel
// --------------------------------------------------------------------------------------

Tovrel::TWrtrDesc* wrtr = nullptr;
Tovrel::TRdrDesc* rdr = nullptr;

// ---- The log
// -------------------------------------------------------------------------------------

constexpr char logText[] = "NewShm: CreateFileMapping succeeded, error code 0";
const char* logName = "TovrelRcv.log";
std::string logLine;  // the bytes of one line as Log.Write wrote them

// The last line of the log file.
std::string LastLine() {
  std::FILE* f = std::fopen(logName, "rb");
  if (f == nullptr) Die(logName);
  std::string all;
  char buf[4096];
  for (std::size_t k; (k = std::fread(buf, 1, sizeof buf, f)) > 0;) all.append(buf, k);
  std::fclose(f);
  const std::size_t end = all.size() - 1;  // the line end of the last line
  const std::size_t start = all.rfind('\n', end - 1);
  return all.substr(start == std::string::npos ? 0 : start + 1);
}

// ---- The benchmarks -----------------------------------------------------------------------------

std::size_t Len(const benchmark::State& s) {
  return static_cast<std::size_t>(s.range(0));
}

void BM_Memcpy(benchmark::State& s) {
  const std::size_t n = Len(s);
  for (auto _ : s) {
    std::memcpy(robustFloor.a, src, n);
    benchmark::ClobberMemory();
  }
}

void FloorWrite(benchmark::State& s, Floor& f) {
  const std::size_t n = Len(s);
  for (auto _ : s) {
    Lock(f.m);
    std::memcpy(f.a, src, n);
    pthread_mutex_unlock(f.m);
    benchmark::ClobberMemory();
  }
}

void BM_FloorRobustWrite(benchmark::State& s) {
  FloorWrite(s, robustFloor);
}
void BM_FloorPlainWrite(benchmark::State& s) {
  FloorWrite(s, plainFloor);
}

void BM_FloorRobustRead(benchmark::State& s) {
  const std::size_t n = Len(s);
  for (auto _ : s) {
    Lock(robustFloor.m);
    std::memcpy(dst, robustFloor.a, n);
    pthread_mutex_unlock(robustFloor.m);
    benchmark::ClobberMemory();
  }
}

void BM_BoostWrite(benchmark::State& s) {
  const std::size_t n = Len(s);
  void* a = boostRegion->get_address();
  for (auto _ : s) {
    boostMtx->lock();
    std::memcpy(a, src, n);
    boostMtx->unlock();
    benchmark::ClobberMemory();
  }
}

void BM_BoostRead(benchmark::State& s) {
  const std::size_t n = Len(s);
  const void* a = boostRegion->get_address();
  for (auto _ : s) {
    boostMtx->lock();
    std::memcpy(dst, a, n);
    boostMtx->unlock();
    benchmark::ClobberMemory();
  }
}

void BM_TovrelWrite(benchmark::State& s) {
  const CARD32 n = static_cast<CARD32>(Len(s));
  for (auto _ : s) {
    benchmark::DoNotOptimize(Tovrel::Write(wrtr, src, maxBlock, n));
    benchmark::ClobberMemory();
  }
}

void BM_TovrelRead(benchmark::State& s) {
  const CARD32 n = static_cast<CARD32>(Len(s));
  for (auto _ : s) {
    benchmark::DoNotOptimize(Tovrel::Read(rdr, dst, maxBlock, n));
    benchmark::ClobberMemory();
  }
}

// Each run starts from an empty file, so that no run reaches the size at which the log rotates.
void BM_LogWrite(benchmark::State& s) {
  if (truncate(logName, 0) != 0) Die("truncate");
  for (auto _ : s) Log::Write(Cfg::midTovrel, Log::lvlMsg, logText, false);
}

int OpenFloorLog() {
  const int fd = open("floor.log", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) Die("floor.log");
  return fd;
}

void BM_FstatWrite(benchmark::State& s) {
  const int fd = OpenFloorLog();
  for (auto _ : s) {
    struct stat st;
    benchmark::DoNotOptimize(fstat(fd, &st));
    benchmark::DoNotOptimize(write(fd, logLine.data(), logLine.size()));
  }
  close(fd);
}

void BM_WriteOnly(benchmark::State& s) {
  const int fd = OpenFloorLog();
  for (auto _ : s) benchmark::DoNotOptimize(write(fd, logLine.data(), logLine.size()));
  close(fd);
}

BENCHMARK(BM_Memcpy)->Arg(128);
BENCHMARK(BM_FloorRobustWrite)->Arg(1)->Arg(128)->Arg(512);
BENCHMARK(BM_FloorRobustRead)->Arg(1)->Arg(128)->Arg(512);
BENCHMARK(BM_FloorPlainWrite)->Arg(128);
BENCHMARK(BM_BoostWrite)->Arg(128);
BENCHMARK(BM_BoostRead)->Arg(128);
BENCHMARK(BM_TovrelWrite)->Arg(1)->Arg(128)->Arg(512);
BENCHMARK(BM_TovrelRead)->Arg(1)->Arg(128)->Arg(512);
BENCHMARK(BM_LogWrite);
BENCHMARK(BM_FstatWrite);
BENCHMARK(BM_WriteOnly);

std::string MakeDir(const char* base, const char* prefix) {
  std::string t = std::string(base) + "/" + prefix + "-XXXXXX";
  if (mkdtemp(t.data()) == nullptr) Die(t.c_str());
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const char* tmp = std::getenv("TMPDIR");
  const std::string session = MakeDir("/dev/shm", "tovrel-bench");
  const std::string work = MakeDir(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", "tovrel-bench");
  setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
  if (chdir(work.c_str()) != 0) Die("chdir");

  for (unsigned i = 0; i < maxBlock; ++i) src[i] = static_cast<unsigned char>(i);
  robustFloor = NewFloor(session, "Floor", true);
  plainFloor = NewFloor(session, "Plain", false);
  NewBoost();
  Tovrel::Start();
  wrtr = Tovrel::NewWrtr(Tovrel::idMain);
  rdr = Tovrel::NewRdr(Tovrel::idMain);
  Log::Write(Cfg::midTovrel, Log::lvlMsg, logText, false);
  logLine = LastLine();

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  RemoveBoost();
  std::error_code ec;
  std::filesystem::remove_all(work, ec);
  std::filesystem::remove_all(session, ec);
  return 0;
}
