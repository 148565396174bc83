// Preloaded into a program (LD_PRELOAD) to note the moment its first period begins: the first
// read of the first timerfd the program creates that returns an expiry count. The moment, in
// nanoseconds of CLOCK_MONOTONIC, goes to the file named by TOVREL_FIRST_PERIOD_OUT, which
// bench/run watches. Everything else passes straight through.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<int> timerFd{-1};
std::atomic<bool> noted{false};

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void Note() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  const char* out = std::getenv("TOVREL_FIRST_PERIOD_OUT");
  if (out == nullptr) return;
  char s[32];
  const int n = std::snprintf(s, sizeof s, "%lld\n",
                              static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec);
  // Written under a temporary name and renamed, so that a reader never sees half a number.
  char tmp[4096];
  std::snprintf(tmp, sizeof tmp, "%s.tmp", out);
  const int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const bool ok = write(fd, s, static_cast<std::size_t>(n)) == n;
  close(fd);
  if (ok) rename(tmp, out);
}

}  // namespace

extern "C" int timerfd_create(int clockid, int flags) {
  static const auto next = Next<int (*)(int, int)>("timerfd_create");
  const int fd = next(clockid, flags);
  int none = -1;
  if (fd >= 0) timerFd.compare_exchange_strong(none, fd);
  return fd;
}

extern "C" ssize_t read(int fd, void* buf, size_t n) {
  static const auto next = Next<ssize_t (*)(int, void*, size_t)>("read");
  const ssize_t k = next(fd, buf, n);
  if (k == 8 && fd == timerFd.load() && !noted.exchange(true)) Note();
  return k;
}
