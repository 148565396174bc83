// The 1 ms period, measured from inside the waking process:
//
//   bench_period mot|mot-default-slack|timerfd <seconds>
//
//   mot                the executive (Mot.Exec) as the programs run it, after the 1 ms timer
//                      resolution of MMSys (the thread's timer slack set to its finest);
//   mot-default-slack  the same, with the timer slack given back to its default;
//   timerfd            a bare loop of blocking reads on a 1 ms periodic timerfd, on the system
//                      calls directly.
//
// Each wake is timed on CLOCK_MONOTONIC against the ideal schedule of the timer, t0 + k ms
// (t0 taken right before the call that arms the timer). A wake answers the oldest expiry not yet
// answered; expiries that passed before it are answered by it too (the timer counts them as one),
// so a wake that comes more than a period late makes the next one answer a later expiry. Prints one
// JSON object: periods, elapsed ms, lateness in microseconds (min, median, p99, max), the timer
// slack in force.
#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Lib2.h"
#include "Lib3.h"
#include "Log.h"
#include "Mot.h"
#include "SO.h"

namespace {

constexpr std::int64_t periodNs = 1000000;

std::int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

const char* mode = "";
std::int64_t t0 = 0;
std::int64_t endNs = 0;
std::int64_t served = 0;  // the last expiry answered, counted from 1
std::vector<std::int64_t> late;

double Us(std::int64_t ns) {
  return static_cast<double>(ns) / 1000.0;
}

[[noreturn]] void Report(std::int64_t w) {
  std::vector<std::int64_t> s = late;
  std::sort(s.begin(), s.end());
  const std::size_t n = s.size();
  auto at = [&](double q) { return s[std::min(n - 1, static_cast<std::size_t>(q * (n - 1)))]; };
  const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  char out[512];
  const int k = std::snprintf(out, sizeof out,
                              "{\"mode\": \"%s\", \"periods\": %zu, \"elapsed_ms\": %.3f, "
                              "\"late_us\": {\"min\": %.1f, \"median\": %.1f, \"p99\": %.1f, "
                              "\"max\": %.1f}, \"slack_ns\": %d}\n",
                              mode, n, static_cast<double>(w) / 1e6, Us(s[0]), Us(at(0.5)),
                              Us(at(0.99)), Us(s[n - 1]), slack);
  if (write(1, out, static_cast<std::size_t>(k)) != k) _exit(2);
  _exit(0);
}

// One wake, w nanoseconds after t0. The wake is timed a little after the wait returned, so
// an expiry that falls between the two is still pending although it lies before w; when the
// next wake then comes before the expiry after the last one counted as answered, it answers
// the latest expiry before it instead. Every lateness is thus at least 0; the lateness of a
// wake that answers several expiries counts from the oldest of them.
void Wake() {
  const std::int64_t w = NowNs() - t0;
  std::int64_t e = served + 1;
  if (e * periodNs > w) e = w / periodNs;
  late.push_back(w - e * periodNs);
  served = std::max(e, w / periodNs);
  if (w >= endNs) Report(w);
}

void TimerfdLoop() {
  const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (fd < 0) _exit(2);
  itimerspec its{};
  its.it_value.tv_nsec = periodNs;
  its.it_interval.tv_nsec = periodNs;
  if (timerfd_settime(fd, 0, &its, nullptr) != 0) _exit(2);  // sets t0
  for (;;) {
    std::uint64_t n = 0;
    if (read(fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) Wake();
  }
}

}  // namespace

// The executive arms its timer through the platform layer, which calls timerfd_settime; this
// definition stands in front of the C library's, so that t0 is taken right before the timer is
// armed, as in the bare loop. Only the first arming sets t0.
extern "C" int timerfd_settime(int fd, int flags, const itimerspec* value, itimerspec* old) {
  static const auto next = reinterpret_cast<int (*)(int, int, const itimerspec*, itimerspec*)>(
      dlsym(RTLD_NEXT, "timerfd_settime"));
  if (t0 == 0) t0 = NowNs();
  return next(fd, flags, value, old);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_period mot|mot-default-slack|timerfd <seconds>\n");
    return 2;
  }
  mode = argv[1];
  endNs = static_cast<std::int64_t>(std::atof(argv[2]) * 1e9);
  late.reserve(static_cast<std::size_t>(endNs / periodNs) + 1000);
  if (std::strcmp(mode, "timerfd") == 0) TimerfdLoop();
  const bool defaultSlack = std::strcmp(mode, "mot-default-slack") == 0;
  if (!defaultSlack && std::strcmp(mode, "mot") != 0) return 2;
  Log::Start();
  SO::Start();
  Lib3::Start();
  Lib2::Start();
  if (defaultSlack) prctl(PR_SET_TIMERSLACK, 0, 0, 0, 0);  // 0: back to the thread's default
  Mot::Start();
  Mot::Exec(Wake);
}
