// The posix implementation of the platform layer, on Linux system calls.
//
// It gives the modules the behaviour that the Windows calls of win32.cpp give them, and says
// in a comment wherever Linux cannot match Windows exactly. Sections, in order:
//   system-call table, errors, storage, critical sections, process, standard handles,
//   timer resolution and clock, system time, handles and waits, named objects (session
//   directory, object lifetime, mappings, mutexes), waitable timer, console control handler,
//   files, command line and current directory.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "os.h"
#include "posix_sys.h"

namespace Os {

// ---- System-call table ---------------------------------------------------------------------
namespace Posix {
namespace {
int PrctlFixed(int option, unsigned long arg) {
  return ::prctl(option, arg, 0UL, 0UL, 0UL);
}
int OpenFixed(const char* name, int flags, mode_t mode) {
  return ::open(name, flags, mode);
}
}  // namespace

const Syscalls sysDefault = {
    .clock_gettime = ::clock_gettime,
    .prctl = PrctlFixed,
    .write = ::write,
    .open = OpenFixed,
    .close = ::close,
    .stat = ::stat,
    .fstat = ::fstat,
    .flock = ::flock,
    .unlink = ::unlink,
    .renameat2 = ::renameat2,
    .timerfd_create = ::timerfd_create,
    .timerfd_settime = ::timerfd_settime,
    .read = ::read,
    .poll = ::poll,
    .pthread_sigmask = ::pthread_sigmask,
    .pthread_create = ::pthread_create,
    .sigwait = ::sigwait,
    .sigaction = ::sigaction,
    .raise = ::raise,
    .getcwd = ::getcwd,
};
Syscalls sys = sysDefault;
}  // namespace Posix

using Posix::sys;

namespace {

// ---- Errors ----------------------------------------------------------------------------------
thread_local CARD32 lastError = 0;

// The one place where a native error becomes the layer's last-error value.
void SetError(int e) {
  lastError = static_cast<CARD32>(e);
}

// Runs an interruptible call again for as long as it fails with EINTR: the Windows calls that
// these stand for are not interrupted by signals.
template <class F>
auto Retry(F f) {
  for (;;) {
    auto r = f();
    if (!(r == -1 && errno == EINTR)) return r;
  }
}

}  // namespace

CARD32 GetLastError() {
  return lastError;
}

// ---- Storage ---------------------------------------------------------------------------------
void* Allocate(CARD32 n) {
  return n == 0 ? nullptr : std::malloc(n);
}

// ---- Critical sections -------------------------------------------------------------------------
// A recursive pthread mutex: re-entrant for its owner, like a critical section.
CARD32 CriticalSectionSize() {
  return sizeof(pthread_mutex_t);
}

void InitializeCriticalSection(void* cs) {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(static_cast<pthread_mutex_t*>(cs), &a);
  pthread_mutexattr_destroy(&a);
}

void EnterCriticalSection(void* cs) {
  pthread_mutex_lock(static_cast<pthread_mutex_t*>(cs));
}

void LeaveCriticalSection(void* cs) {
  pthread_mutex_unlock(static_cast<pthread_mutex_t*>(cs));
}

// ---- Process -----------------------------------------------------------------------------------
// _exit, not exit: static destructors must not run while another thread still runs.
void ExitProcess(BYTE code) {
  ::_exit(code);
}

// ---- Standard handles --------------------------------------------------------------------------
const File InvalidFile = -1;

File StdIn() {
  return STDIN_FILENO;
}
File StdOut() {
  return STDOUT_FILENO;
}
File StdErr() {
  return STDERR_FILENO;
}

bool WriteFile(File f, const void* p, CARD32 n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    const ssize_t w = Retry([&] { return sys.write(static_cast<int>(f), c, n); });
    if (w < 0) {
      SetError(errno);
      return false;
    }
    c += w;
    n -= static_cast<CARD32>(w);
  }
  return true;
}

// ---- Timer resolution and clock ----------------------------------------------------------------
// Linux has no process-wide timer resolution. What stands for it is the timer slack of the
// thread that asks (the main thread): the kernel may defer that thread's sleeps and polls by up
// to the slack, 50 us by default. timeBeginPeriod sets it to the finest value, 1 ns, and
// timeEndPeriod puts the saved value back. The slack belongs to one thread and only that thread
// may change it, so a timeEndPeriod on another thread (a shutdown run by a console signal) only
// counts the request as given back: the asking thread ends with the process a moment later.
namespace {
std::atomic<int> periods{0};
unsigned long savedSlack = 0;
pid_t slackTid = 0;

pid_t ThisThread() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}
}  // namespace

CARD32 timeBeginPeriod(CARD32 ms) {
  if (ms == 0) return timerrNoCanDo;
  if (periods.load() == 0) {
    const int old = sys.prctl(PR_GET_TIMERSLACK, 0);
    if (old < 0 || sys.prctl(PR_SET_TIMERSLACK, 1) != 0) {
      SetError(errno);
      return timerrNoCanDo;
    }
    savedSlack = static_cast<unsigned long>(old);
    slackTid = ThisThread();
  }
  periods.fetch_add(1);
  return timerrNoError;
}

CARD32 timeEndPeriod(CARD32 ms) {
  if (ms == 0 || periods.load() == 0) return timerrNoCanDo;
  if (periods.fetch_sub(1) == 1 && ThisThread() == slackTid) {
    if (sys.prctl(PR_SET_TIMERSLACK, savedSlack) != 0) {
      SetError(errno);
      return timerrNoCanDo;
    }
  }
  return timerrNoError;
}

// CLOCK_MONOTONIC counts from the start of the system and never goes backwards.
CARD32 timeGetTime() {
  timespec ts{};
  sys.clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<CARD32>(ms);
}

// ---- System time -------------------------------------------------------------------------------
void GetSystemTime(SYSTEMTIME& t) {
  timespec ts{};
  sys.clock_gettime(CLOCK_REALTIME, &ts);
  tm u{};
  const time_t s = ts.tv_sec;
  gmtime_r(&s, &u);
  t.wYear = static_cast<CARD16>(u.tm_year + 1900);
  t.wMonth = static_cast<CARD16>(u.tm_mon + 1);
  t.wDayOfWeek = static_cast<CARD16>(u.tm_wday);
  t.wDay = static_cast<CARD16>(u.tm_mday);
  t.wHour = static_cast<CARD16>(u.tm_hour);
  t.wMinute = static_cast<CARD16>(u.tm_min);
  t.wSecond = static_cast<CARD16>(u.tm_sec);
  t.wMilliseconds = static_cast<CARD16>(ts.tv_nsec / 1000000);
}

// ---- Handles and waits -------------------------------------------------------------------------
// Every handle of the layer points to a record that begins with its kind, so that one wait
// serves every kind of object, as on Windows.
namespace {
enum class Kind : CARD32 { mutex = 0x4D757478, timer = 0x54696D72 };
struct HandleRec {
  Kind kind;
};
CARD32 WaitMutex(HandleRec* h, CARD32 ms);  // named objects section
CARD32 WaitTimer(HandleRec* h, CARD32 ms);  // waitable timer section
}  // namespace

CARD32 WaitForSingleObject(Handle h, CARD32 ms) {
  HandleRec* r = static_cast<HandleRec*>(h);
  if (r != nullptr) {
    switch (r->kind) {
      case Kind::mutex:
        return WaitMutex(r, ms);
      case Kind::timer:
        return WaitTimer(r, ms);
    }
  }
  SetError(EBADF);
  return waitFailed;
}

// ---- Named objects
// -------------------------------------------------------------------------------
namespace {
// Placeholder until the named mutexes land.
CARD32 WaitMutex(HandleRec*, CARD32) {
  SetError(ENOSYS);
  return waitFailed;
}
}  // namespace

// ---- Waitable timer -----------------------------------------------------------------------------
// A timerfd on CLOCK_MONOTONIC. Its count of expirations stands for the signalled state: a read
// waits until the count is above 0 and sets it back to 0, so any number of expiries since the
// last wait count as one, as with an auto-reset timer; timerfd_settime also sets the count to
// 0, as arming a Windows timer resets it.
namespace {
struct TimerRec {
  HandleRec h;  // first: a handle points to it
  int fd;
};
static_assert(std::is_standard_layout_v<TimerRec>);

TimerRec* AsTimer(Handle h) {
  HandleRec* r = static_cast<HandleRec*>(h);
  return r != nullptr && r->kind == Kind::timer ? reinterpret_cast<TimerRec*>(r) : nullptr;
}

constexpr std::uint64_t unitsPerSec = 10000000;         // 100 ns units
constexpr std::uint64_t secs1601To1970 = 11644473600u;  // the two epochs apart

// The time from now to the due time of SetWaitableTimer, at least 1 ns (an it_value of 0 would
// disarm the timer); false when the clock cannot be read (errno set). An absolute due time is
// turned into a relative one here: unlike on Windows, a later change of the system clock does
// not move the expiry.
bool DueFromNow(std::int64_t due, timespec& ts) {
  std::uint64_t units = 0;
  if (due < 0) {
    units = static_cast<std::uint64_t>(-(due + 1)) + 1;  // also for the most negative value
  } else {
    timespec now{};
    if (sys.clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    const std::uint64_t nowUnits =
        (static_cast<std::uint64_t>(now.tv_sec) + secs1601To1970) * unitsPerSec +
        static_cast<std::uint64_t>(now.tv_nsec) / 100;
    const std::uint64_t d = static_cast<std::uint64_t>(due);
    units = d > nowUnits ? d - nowUnits : 0;
  }
  ts.tv_sec = static_cast<time_t>(units / unitsPerSec);
  ts.tv_nsec = static_cast<long>(units % unitsPerSec) * 100;
  if (ts.tv_sec == 0 && ts.tv_nsec == 0) ts.tv_nsec = 1;
  return true;
}

// Milliseconds of CLOCK_MONOTONIC, not wrapped.
std::uint64_t MonotonicMs() {
  timespec ts{};
  sys.clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// Waits at most ms milliseconds for fd to become readable: waitObject0, waitTimeout or
// waitFailed. A poll cut short by a signal goes on with the time that is left.
CARD32 PollIn(int fd, CARD32 ms) {
  const std::uint64_t end = MonotonicMs() + ms;
  for (;;) {
    const std::uint64_t now = MonotonicMs();
    const std::uint64_t left = end > now ? end - now : 0;
    pollfd p{fd, POLLIN, 0};
    const int k = sys.poll(&p, 1, static_cast<int>(std::min<std::uint64_t>(left, INT_MAX)));
    if (k > 0) return waitObject0;
    if (k == 0 && left <= INT_MAX) return waitTimeout;
    if (k < 0 && errno != EINTR) {
      SetError(errno);
      return waitFailed;
    }
  }
}

// An infinite wait is one blocking read. A wait with a limit polls first and then reads; it
// relies on no other thread waiting on the same timer meanwhile, which could take the expiry
// between the poll and the read and leave this read waiting for the next one.
CARD32 WaitTimer(HandleRec* r, CARD32 ms) {
  const TimerRec* t = reinterpret_cast<TimerRec*>(r);
  if (ms != infinite) {
    const CARD32 p = PollIn(t->fd, ms);
    if (p != waitObject0) return p;
  }
  std::uint64_t n = 0;
  const ssize_t k = Retry([&] { return sys.read(t->fd, &n, sizeof n); });
  if (k != static_cast<ssize_t>(sizeof n)) {
    SetError(k < 0 ? errno : EIO);
    return waitFailed;
  }
  return waitObject0;
}
}  // namespace

Handle CreateWaitableTimerA() {
  TimerRec* t = new (std::nothrow) TimerRec{{Kind::timer}, -1};
  if (t == nullptr) {
    SetError(ENOMEM);
    return nullptr;
  }
  t->fd = sys.timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (t->fd < 0) {
    SetError(errno);
    delete t;
    return nullptr;
  }
  return &t->h;
}

bool SetWaitableTimer(Handle h, std::int64_t due, INT32 periodMs) {
  TimerRec* t = AsTimer(h);
  if (t == nullptr || periodMs < 0) {
    SetError(t == nullptr ? EBADF : EINVAL);
    return false;
  }
  itimerspec its{};
  if (!DueFromNow(due, its.it_value)) {
    SetError(errno);
    return false;
  }
  its.it_interval.tv_sec = periodMs / 1000;
  its.it_interval.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000;
  if (sys.timerfd_settime(t->fd, 0, &its, nullptr) != 0) {
    SetError(errno);
    return false;
  }
  return true;
}

// ---- Console control handler --------------------------------------------------------------------
// The console signals are Linux signals here: SIGINT for Ctrl+C, SIGQUIT for Ctrl+Break, SIGHUP
// for closing the console, SIGTERM for system shutdown. Linux has no logoff signal.
//
// Windows calls the handlers on a thread that it starts for each signal. Here the first
// installation blocks the four signals in the calling thread, which must be the main thread
// before any other thread exists, so that every thread started later inherits the mask; one
// listener thread then takes them with sigwait and starts a thread for each signal that calls
// the handlers, newest first. A second signal is thus handled while the handlers of the first
// still run. When no handler takes a signal, its thread gives it back its default disposition
// and raises it on itself, which ends the process as the signal would have. A thread that
// already ran before the installation does not block the signals: one that is delivered to it
// has its default effect there.
namespace {
constexpr int ctrlSigs[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
constexpr CARD32 ctrlTypes[] = {ctrlCEvent, ctrlBreakEvent, ctrlCloseEvent, ctrlShutdownEvent};

constexpr CARD32 maxHandlers = 16;
// Guards the list and the listener's start; never held while a handler runs.
pthread_mutex_t handlersLock = PTHREAD_MUTEX_INITIALIZER;
HandlerRoutine handlers[maxHandlers];  // oldest first
CARD32 nHandlers = 0;
bool listening = false;

sigset_t CtrlSet() {
  sigset_t s;
  sigemptyset(&s);
  for (int sig : ctrlSigs) sigaddset(&s, sig);
  return s;
}

CARD32 CtrlType(int sig) {
  for (CARD32 i = 0; i < sizeof ctrlSigs / sizeof ctrlSigs[0]; ++i)
    if (ctrlSigs[i] == sig) return ctrlTypes[i];
  return ctrlCEvent;  // sigwait returns only the signals of the set
}

// Starts f(arg) on a new detached thread; 0 or an error number.
int StartThread(void* (*f)(void*), void* arg) {
  pthread_attr_t a;
  pthread_attr_init(&a);
  pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  const int e = sys.pthread_create(&t, &a, f, arg);
  pthread_attr_destroy(&a);
  return e;
}

// No handler took the signal: its default disposition, then the signal again, on this thread.
void DefaultAction(int sig) {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sys.sigaction(sig, &sa, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  sys.pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  sys.raise(sig);
  ExitProcess(static_cast<BYTE>(128 + sig));  // only if the signal did not end the process
}

// The thread of one signal (arg: the signal number). The list is copied, not held while the
// handlers run: a handler that halts the program never returns, and the thread of the next
// signal must still be able to read the list.
void* Dispatch(void* arg) {
  const int sig = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
  HandlerRoutine hs[maxHandlers];
  pthread_mutex_lock(&handlersLock);
  const CARD32 n = nHandlers;
  std::copy(handlers, handlers + n, hs);
  pthread_mutex_unlock(&handlersLock);
  for (CARD32 i = n; i-- > 0;)
    if (hs[i](CtrlType(sig)) != 0) return nullptr;
  DefaultAction(sig);
  return nullptr;
}

// The listener. When no thread can be started for a signal, its handlers run on the listener
// itself, and a further signal waits until they return.
void* Listen(void*) {
  const sigset_t set = CtrlSet();
  for (;;) {
    int sig = 0;
    const int e = sys.sigwait(&set, &sig);
    if (e == EINTR) continue;
    if (e != 0) return nullptr;  // only for an invalid set
    void* arg = reinterpret_cast<void*>(static_cast<std::intptr_t>(sig));
    if (StartThread(Dispatch, arg) != 0) Dispatch(arg);
  }
}

// Blocks the signals in the calling thread and starts the listener; 0 or an error number. A
// failure leaves the signal mask as it was.
int StartListener() {
  const sigset_t set = CtrlSet();
  sigset_t old;
  int e = sys.pthread_sigmask(SIG_BLOCK, &set, &old);
  if (e != 0) return e;
  e = StartThread(Listen, nullptr);
  if (e != 0) sys.pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return e;
}
}  // namespace

bool SetConsoleCtrlHandler(HandlerRoutine h, bool add) {
  int e = 0;
  pthread_mutex_lock(&handlersLock);
  if (h == nullptr) {
    e = EINVAL;
  } else if (add) {
    if (nHandlers == maxHandlers)
      e = ENOMEM;
    else if (!listening && (e = StartListener()) == 0)
      listening = true;
    if (e == 0) handlers[nHandlers++] = h;
  } else {
    CARD32 i = nHandlers;
    while (i > 0 && handlers[i - 1] != h) --i;
    if (i == 0) {
      e = EINVAL;
    } else {
      for (; i < nHandlers; ++i) handlers[i - 1] = handlers[i];
      --nHandlers;
    }
  }
  pthread_mutex_unlock(&handlersLock);
  if (e != 0) SetError(e);
  return e == 0;
}

// ---- Files
// --------------------------------------------------------------------------------------- Windows
// opens the log without sharing, so that a second process cannot open it. Here the open takes an
// exclusive flock without waiting; a second process's open finds it taken and fails (EWOULDBLOCK).
// The kernel drops the lock when the descriptor is closed or the process ends.
namespace {
File OpenExclusive(const char* name, int flags) {
  const int fd =
      Retry([&] { return sys.open(name, flags | O_WRONLY | O_APPEND | O_CLOEXEC, 0666); });
  if (fd < 0) {
    SetError(errno);
    return InvalidFile;
  }
  if (Retry([&] { return sys.flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    SetError(errno);
    sys.close(fd);
    return InvalidFile;
  }
  return fd;
}
}  // namespace

bool FileExists(const char* name) {
  struct stat st;
  return sys.stat(name, &st) == 0;
}

File OpenFileForAppend(const char* name) {
  return OpenExclusive(name, 0);
}

File CreateNewFile(const char* name) {
  return OpenExclusive(name, O_CREAT | O_EXCL);
}

bool GetFileSize(File f, std::uint64_t& n) {
  struct stat st;
  if (sys.fstat(static_cast<int>(f), &st) != 0) {
    SetError(errno);
    return false;
  }
  n = static_cast<std::uint64_t>(st.st_size);
  return true;
}

// A descriptor is closed once, whatever close reports: retrying after EINTR could close a
// descriptor that another thread has opened meanwhile.
bool CloseHandle(File f) {
  if (sys.close(static_cast<int>(f)) != 0 && errno != EINTR) {
    SetError(errno);
    return false;
  }
  return true;
}

bool DeleteFileA(const char* name) {
  if (sys.unlink(name) != 0) {
    SetError(errno);
    return false;
  }
  return true;
}

// RENAME_NOREPLACE: like MoveFile, a taken name is an error rather than replaced.
bool MoveFileA(const char* from, const char* to) {
  if (sys.renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    SetError(errno);
    return false;
  }
  return true;
}

// ---- Command line and current directory
// ----------------------------------------------------------

// The argument list is the argv list as the entry point received it: on Linux the caller of the
// program has already cut its words, so no splitting rule applies, and an empty word is an
// argument like any other.
namespace {
std::vector<std::string> args;
}

void MainArgs(int argc, const CHAR* const* argv) {
  SetArgs(argc > 0 ? static_cast<CARD32>(argc) : 0, argv);
}

void SetArgs(CARD32 n, const CHAR* const* v) {
  args.assign(v, v + n);
}

CARD32 ArgCount() {
  return args.empty() ? 0 : static_cast<CARD32>(args.size() - 1);
}

Text GetArg(CARD32 i) {
  if (i >= args.size()) return Text("", 0);
  return Text(args[i].data(), static_cast<CARD32>(args[i].size()));
}

// Linux has no drive letters: the path is getcwd's, from "/". getcwd fails with ERANGE while
// its buffer is too small, so the buffer grows until the whole path fits, and only then is the
// path cut to the caller's array.
BOOL8 GetCurrentDirectory(CHAR* s, CARD32 m) {
  std::string p(256, '\0');
  while (sys.getcwd(p.data(), p.size()) == nullptr) {
    if (errno != ERANGE) {
      SetError(errno);
      if (m > 0) s[0] = '\0';
      return false;
    }
    p.resize(p.size() * 2);
  }
  const std::size_t n = std::min<std::size_t>(std::strlen(p.c_str()), m);
  std::memcpy(s, p.data(), n);
  if (n < m) s[n] = '\0';
  return true;
}

}  // namespace Os
