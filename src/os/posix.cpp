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
#include <pthread.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

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

// ---- Waitable timer
// ------------------------------------------------------------------------------
namespace {
// Placeholder until the waitable timer lands.
CARD32 WaitTimer(HandleRec*, CARD32) {
  SetError(ENOSYS);
  return waitFailed;
}
}  // namespace

// ---- Console control handler
// ---------------------------------------------------------------------

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

}  // namespace Os
