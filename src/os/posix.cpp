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
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "os.h"
#include "posix_sys.h"

namespace Os {

// ---- System-call table --------------------------------------------------------------------------
namespace Posix {
namespace {
int PrctlFixed(int option, unsigned long arg) {
  return ::prctl(option, arg, 0UL, 0UL, 0UL);
}
int OpenFixed(const char* name, int flags, mode_t mode) {
  return ::open(name, flags, mode);
}
int OpenatFixed(int dir, const char* path, int flags, mode_t mode) {
  return ::openat(dir, path, flags, mode);
}
int OfdLockFixed(int fd, int cmd, struct flock* l) {
  return ::fcntl(fd, cmd, l);
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
    .geteuid = ::geteuid,
    .getpid = ::getpid,
    .mkdir = ::mkdir,
    .openat = OpenatFixed,
    .fstatat = ::fstatat,
    .fchmod = ::fchmod,
    .ofdLock = OfdLockFixed,
    .posix_fallocate = ::posix_fallocate,
    .unlinkat = ::unlinkat,
    .mmap = ::mmap,
    .munmap = ::munmap,
    .mutexLock = ::pthread_mutex_lock,
    .mutexTimedLock = ::pthread_mutex_timedlock,
    .mutexUnlock = ::pthread_mutex_unlock,
    .mutexConsistent = ::pthread_mutex_consistent,
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

// ---- Errors -------------------------------------------------------------------------------------
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

// ---- Storage ------------------------------------------------------------------------------------
void* Allocate(CARD32 n) {
  return n == 0 ? nullptr : std::malloc(n);
}

// ---- Critical sections --------------------------------------------------------------------------
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

// ---- Process ------------------------------------------------------------------------------------
// _exit, not exit: static destructors must not run while another thread still runs.
void ExitProcess(BYTE code) {
  ::_exit(code);
}

// ---- Standard handles ---------------------------------------------------------------------------
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
    // A descriptor that another program made non-blocking (a shared console pipe) would
    // block: wait until it takes more, as the Windows call blocks.
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{static_cast<int>(f), POLLOUT, 0};
      if (Retry([&] { return sys.poll(&p, 1, -1); }) >= 0) continue;
    }
    // A write that takes nothing would take nothing again: an error, not a loop for ever.
    if (w <= 0) {
      SetError(w < 0 ? errno : EIO);
      return false;
    }
    c += w;
    n -= static_cast<CARD32>(w);
  }
  return true;
}

// ---- Timer resolution and clock -----------------------------------------------------------------
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

// ---- System time --------------------------------------------------------------------------------
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

// ---- Handles and waits --------------------------------------------------------------------------
// Every handle of the layer points to a record that begins with its kind, so that one wait
// serves every kind of object, as on Windows.
namespace {
enum class Kind : CARD32 { mutex = 0x4D757478, timer = 0x54696D72 };
struct HandleRec {
  Kind kind;
};
// The timer's wait stays out of line: inlined, its registers would be saved and restored on
// every wait for a mutex, which the block path makes twice a millisecond.
CARD32 WaitMutex(HandleRec* h, CARD32 ms);                    // named objects section
[[gnu::noinline]] CARD32 WaitTimer(HandleRec* h, CARD32 ms);  // waitable timer section
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

// ---- Named objects ------------------------------------------------------------------------------

// Windows keeps a named object in the kernel and deletes it when its last handle is gone. Here
// "Local\Name" is the file Name in the session directory, and its lifetime is carried by two OFD
// locks (fcntl F_OFD_SETLK / F_OFD_SETLKW) on that file. The kernel drops them when their
// process dies, SIGKILL included; unlike classic fcntl locks they survive the closing of another
// descriptor of the file and tell two opens in one process apart. Only OFD locks are used (flock
// and OFD locks ignore each other).
//   byte 0, the creation guard: taken exclusive around one create-or-open, and only then;
//   byte 1, the liveness lock: every holder keeps it shared for the rest of its life.
// Creating or opening an object:
//   1. open the name (O_CREAT, O_NOFOLLOW, mode 0600) and check the file: regular, ours, no
//      group or other bits;
//   2. take the guard, waiting while another process creates or opens the object;
//   3. check that the name still leads to this file, with one link; if a creator renamed a
//      fresh file over it meanwhile, close it and start again;
//   4. try the liveness byte exclusive, without waiting.
//      Got it: no live process holds the object, so it is new. Build a fresh file under a
//        temporary name beside it, reserve its pages (posix_fallocate), initialise it, take its
//        liveness byte shared and rename it over the name, still under the old file's guard;
//        the old file is then closed, which gives its guard back. Report "created" (0).
//      Did not: the object lives. Take its liveness byte shared, give the guard back and
//        report "opened" (183).
// So only a process that holds the guard and has seen that nobody lives on a file may replace
// it, and nobody ever truncates or re-initialises a file in place: a process that still maps
// it would fault. Object descriptors are close-on-exec, so no child keeps an object alive, and
// never closed, so a process holds its objects until it ends. The file of an object whose last
// holder has ended stays on disk; to every later process it is a new object.
//
// Where this differs from Windows (the README lists the same):
//   - the namespace belongs to the user, not to a logon session;
//   - mappings and mutexes share one directory: a mapping opened on a mutex's name opens the
//     mutex's file as plain bytes (Windows fails with ERROR_INVALID_HANDLE), while a mutex
//     opened on a mapping's name fails with EPROTO;
//   - a mutex cannot be shared with a process of another bitness or PID namespace (EPROTO);
//   - a wait with a time limit measures it against CLOCK_REALTIME.
namespace {

// -- Session directory
// $XDG_RUNTIME_DIR when it is set to an absolute path (the per-user runtime directory: the
// user's own, mode 0700, on tmpfs), else /dev/shm/tovrel-<uid>, made here with mode 0700. Keyed
// on the user, so that a sender and a receiver in two terminals of one user meet.

// Explains on standard error why the session directory ("session directory") or an object file
// in it ("object") is refused and fails with err; nothing is created, opened or changed through
// a refused file.
int Refuse(const char* what, const char* path, const char* why, int err = EACCES) {
  char s[PATH_MAX + NAME_MAX + 200];
  const int n = std::snprintf(s, sizeof s, "Os: %s \"%s\" refused: %s\r\n", what, path, why);
  if (n > 0) sys.write(STDERR_FILENO, s, std::min(static_cast<size_t>(n), sizeof s - 1));
  SetError(err);
  return -1;
}
int RefuseDir(const char* dir, const char* why) {
  return Refuse("session directory", dir, why);
}

// Why a directory is no safe session directory for uid (null when it is one).
const char* NotOursDir(const struct stat& s, uid_t uid, char (&why)[96]) {
  if (s.st_uid != uid) {
    std::snprintf(why, sizeof why, "it belongs to uid %u, not to uid %u",
                  static_cast<unsigned>(s.st_uid), static_cast<unsigned>(uid));
  } else if ((s.st_mode & 077) != 0) {
    std::snprintf(why, sizeof why, "its mode %04o lets group or others in",
                  static_cast<unsigned>(s.st_mode & 07777));
  } else {
    return nullptr;
  }
  return why;
}

// The session directory's descriptor, after checking that objects are safe in it: a directory,
// not a symbolic link, owned by the effective uid, with no group or other permission bits.
// -1 with the last error set otherwise. path receives the directory's path.
int OpenSessionDir(char (&path)[PATH_MAX]) {
  const uid_t uid = sys.geteuid();
  const char* x = std::getenv("XDG_RUNTIME_DIR");
  if (x != nullptr && x[0] == '/') {
    if (std::strlen(x) >= sizeof path) {
      SetError(ENAMETOOLONG);
      return -1;
    }
    std::strcpy(path, x);
  } else {
    std::snprintf(path, sizeof path, "/dev/shm/tovrel-%u", static_cast<unsigned>(uid));
    if (sys.mkdir(path, 0700) != 0 && errno != EEXIST) {
      SetError(errno);
      return -1;
    }
  }
  struct stat l {};
  if (sys.fstatat(AT_FDCWD, path, &l, AT_SYMLINK_NOFOLLOW) != 0) {
    SetError(errno);
    return -1;
  }
  if (S_ISLNK(l.st_mode)) return RefuseDir(path, "it is a symbolic link");
  if (!S_ISDIR(l.st_mode)) return RefuseDir(path, "it is not a directory");
  // Owner and mode are checked before the open too, so that another user's directory is never
  // opened (and its refusal says why, rather than failing the open with EACCES).
  char why[96];
  if (const char* bad = NotOursDir(l, uid, why); bad != nullptr) return RefuseDir(path, bad);
  const int d = Retry([&] {
    return sys.openat(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  });
  if (d < 0) {
    SetError(errno);
    return -1;
  }
  // The checks are made again on the open directory, so that what is checked is what is used.
  struct stat s {};
  if (sys.fstat(d, &s) != 0) {
    SetError(errno);
    sys.close(d);
    return -1;
  }
  const char* bad = s.st_dev != l.st_dev || s.st_ino != l.st_ino
                        ? "it was replaced while it was checked"
                        : NotOursDir(s, uid, why);
  if (bad != nullptr) {
    sys.close(d);
    return RefuseDir(path, bad);
  }
  return d;
}

// The file name of object "Local\Name", or of "Name" (Windows puts such names into the session
// namespace too). Name must be a plain file name of 1 to NAME_MAX characters that holds no
// "/", "\" or ".." and does not begin with "." (the layer's temporary files do). Null with the
// last error set otherwise; "Global\..." names fail this way, for there is no namespace
// beyond the session here.
const CHAR* FileName(const CHAR* name) {
  static constexpr CHAR local[] = "Local\\";
  if (name == nullptr) {
    SetError(EINVAL);
    return nullptr;
  }
  if (std::strncmp(name, local, sizeof local - 1) == 0) name += sizeof local - 1;
  const size_t n = strnlen(name, NAME_MAX + 1);
  if (n > NAME_MAX) {
    SetError(ENAMETOOLONG);
    return nullptr;
  }
  if (n == 0 || name[0] == '.' || std::strpbrk(name, "/\\") != nullptr ||
      std::strstr(name, "..") != nullptr) {
    SetError(EINVAL);
    return nullptr;
  }
  return name;
}

// -- Object lifetime (the scheme above)
constexpr off_t guardByte = 0;
constexpr off_t liveByte = 1;
// How often a create-or-open starts again because the name was replaced under it.
constexpr int maxAttempts = 100;

// One byte of an OFD lock: type F_WRLCK, F_RDLCK or F_UNLCK; wait: block until it is granted.
int Lock(int fd, off_t byte, short type, bool wait) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = byte;
  l.l_len = 1;
  l.l_pid = 0;  // must be 0 for OFD locks
  return Retry([&] { return sys.ofdLock(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &l); });
}

// Why a file cannot be an object (null when it can): it must be a regular file of the
// effective uid that nobody else may open, with no other name. why holds the text.
const char* NotOurs(const struct stat& s, char (&why)[96]) {
  const uid_t uid = sys.geteuid();
  if (S_ISLNK(s.st_mode)) return "it is a symbolic link";
  if (S_ISDIR(s.st_mode)) return "it is a directory";
  if (!S_ISREG(s.st_mode)) return "it is not a regular file";
  if (s.st_uid != uid) {
    std::snprintf(why, sizeof why, "it belongs to uid %u, not to uid %u",
                  static_cast<unsigned>(s.st_uid), static_cast<unsigned>(uid));
  } else if ((s.st_mode & 077) != 0) {
    std::snprintf(why, sizeof why, "its mode %04o lets group or others in",
                  static_cast<unsigned>(s.st_mode & 07777));
  } else if (s.st_nlink > 1) {
    std::snprintf(why, sizeof why, "it has %u names", static_cast<unsigned>(s.st_nlink));
  } else {
    return nullptr;
  }
  return why;
}

// The error code of a refused object file: ELOOP for a link and EISDIR for a directory, as the
// open itself would fail on them, EACCES for anything else.
int RefusalCode(const struct stat& s) {
  return S_ISLNK(s.st_mode) ? ELOOP : S_ISDIR(s.st_mode) ? EISDIR : EACCES;
}

std::atomic<CARD32> tmpCount{0};

// What a create-or-open has done so far, undone in reverse order when it ends; a step that
// succeeds for good takes its descriptor out with Keep.
struct Undo {
  int dir = -1;       // the session directory
  int fd = -1;        // the file under the name, holding the guard once it is taken
  int fresh = -1;     // the fresh file of a new object
  CHAR tmp[48] = "";  // the fresh file's temporary name, while it has one

  Undo() = default;
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;
  ~Undo() {
    if (tmp[0] != '\0') sys.unlinkat(dir, tmp, 0);
    if (fresh >= 0) sys.close(fresh);
    if (fd >= 0) sys.close(fd);  // gives back the guard and the liveness byte, if held
    if (dir >= 0) sys.close(dir);
  }
  int Fail(int e) {
    SetError(e);
    return -1;
  }
  static int Keep(int& d) {
    const int k = d;
    d = -1;
    return k;
  }
};

// Builds a new object in a fresh file and renames it over the name file. On entry u.fd is the
// file under the name and holds both its guard and its liveness byte exclusive. Returns the
// fresh file's descriptor, holding its liveness byte shared, with its status in st; -1 with
// the last error set on failure.
int Fresh(Undo& u, const CHAR* file, off_t size, int (*init)(int fd), struct stat& st) {
  const pid_t pid = sys.getpid();
  for (int attempt = 0; u.fresh < 0; ++attempt) {
    // Temporary names are this process's own; one taken so often is somebody's trap.
    if (attempt == maxAttempts) return u.Fail(EEXIST);
    std::snprintf(u.tmp, sizeof u.tmp, ".tovrel-%d-%u", static_cast<int>(pid),
                  static_cast<unsigned>(tmpCount.fetch_add(1)));
    u.fresh = Retry([&] {
      return sys.openat(u.dir, u.tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
    if (u.fresh < 0 && errno != EEXIST) {
      u.tmp[0] = '\0';
      return u.Fail(errno);
    }
  }
  if (sys.fchmod(u.fresh, 0600) != 0) return u.Fail(errno);  // whatever the umask took away
  // Reserve every page now. On tmpfs, a file that is only made longer reserves nothing, and a
  // full file system would later raise SIGBUS in whoever touches a page instead of failing here.
  // It reports its error as its result, EINTR included (a large reservation may be interrupted).
  int e;
  while ((e = sys.posix_fallocate(u.fresh, 0, size)) == EINTR) {
  }
  if (e != 0) return u.Fail(e);
  if (init != nullptr) {
    if (const int e = init(u.fresh); e != 0) return u.Fail(e);
  }
  // Liveness of the fresh file, shared: from the rename on it is an object with one holder.
  if (Lock(u.fresh, liveByte, F_RDLCK, false) != 0) return u.Fail(errno);
  if (sys.renameat2(u.dir, u.tmp, u.dir, file, 0) != 0) return u.Fail(errno);
  u.tmp[0] = '\0';
  if (sys.fstat(u.fresh, &st) != 0) return u.Fail(errno);
  // The old file is no object any more. Undo closes it, which gives back its guard: whoever
  // waits for it finds the name replaced and starts again on the fresh file.
  return Undo::Keep(u.fresh);
}

// Creates or opens the object file of name. A new object is a fresh file of size bytes, all
// zero, which init (when given; it returns 0 or an error number) prepares before anybody can
// open it. Returns the object's descriptor, which holds the liveness byte shared, with created
// and the file's status st set; -1 with the last error set on failure, leaving nothing behind
// but possibly an empty file under the name, which is no live object. path receives the
// object file's path, for messages.
int CreateOrOpen(const CHAR* name, off_t size, int (*init)(int fd), bool& created, struct stat& st,
                 char (&path)[PATH_MAX + NAME_MAX + 2]) {
  const CHAR* file = FileName(name);
  if (file == nullptr) return -1;
  Undo u;
  char dir[PATH_MAX];
  u.dir = OpenSessionDir(dir);
  if (u.dir < 0) return -1;
  std::snprintf(path, sizeof path, "%s/%s", dir, file);
  char why[96];
  for (int attempt = 0; attempt < maxAttempts; ++attempt) {
    if (u.fd >= 0) sys.close(Undo::Keep(u.fd));
    // Something other than a regular file under the name is refused before it is opened, so
    // that no FIFO or device is ever opened through it; the checks after the open decide.
    struct stat l {};
    if (sys.fstatat(u.dir, file, &l, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(l.st_mode))
      return Refuse("object", path, NotOurs(l, why), RefusalCode(l));
    u.fd = Retry([&] {
      return sys.openat(u.dir, file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    });
    if (u.fd < 0 && errno == ELOOP) return Refuse("object", path, "it is a symbolic link", ELOOP);
    if (u.fd < 0 && errno == EISDIR) return Refuse("object", path, "it is a directory", EISDIR);
    if (u.fd < 0) return u.Fail(errno);
    if (sys.fstat(u.fd, &st) != 0) return u.Fail(errno);
    if (const char* bad = NotOurs(st, why); bad != nullptr)
      return Refuse("object", path, bad, RefusalCode(st));
    // The creation guard: wait while another process creates or opens this object.
    if (Lock(u.fd, guardByte, F_WRLCK, true) != 0) return u.Fail(errno);
    // The name must still lead to this file: a creator may have renamed a fresh file over it
    // while we waited. Then the file we hold is no object any more: start again.
    struct stat n {};
    if (sys.fstatat(u.dir, file, &n, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return u.Fail(errno);
    }
    if (sys.fstat(u.fd, &st) != 0) return u.Fail(errno);
    if (n.st_dev != st.st_dev || n.st_ino != st.st_ino || st.st_nlink == 0) continue;
    // Linked elsewhere too, meanwhile: not ours alone.
    if (const char* bad = NotOurs(st, why); bad != nullptr) return Refuse("object", path, bad);
    // The liveness byte, tried exclusive without waiting: every holder keeps it shared, so
    // getting it means that no live process holds the object.
    if (Lock(u.fd, liveByte, F_WRLCK, false) == 0) {
      created = true;
      return Fresh(u, file, size, init, st);
    }
    if (errno != EAGAIN && errno != EACCES) return u.Fail(errno);
    // The object lives. Hold it for the rest of our life (nobody holds the byte exclusive
    // except under the guard, which is ours), then give the guard back.
    if (Lock(u.fd, liveByte, F_RDLCK, true) != 0) return u.Fail(errno);
    if (Lock(u.fd, guardByte, F_UNLCK, false) != 0) return u.Fail(errno);
    created = false;
    return Undo::Keep(u.fd);
  }
  return u.Fail(EAGAIN);
}

// -- Mappings
// The file holds exactly the bytes of the mapping, from offset 0, with no header, so that an
// outside tool can read it.
constexpr Kind kindMapping = static_cast<Kind>(0x4D617070);  // not waitable
struct MappingRec {
  HandleRec h;
  int fd;
  CARD32 size;  // the size its creator gave
  CHAR* path;   // the object file's path, for messages
};

// -- Mutexes
// A robust, process-shared, recursive pthread mutex in a small file of its own, behind a header
// that a process checks before it uses the mutex: the futex word holds thread ids of the
// creator's PID namespace, and a 32-bit and a 64-bit process lay the mutex out differently.
// Bump mutexVersion with every change of MutexFile's layout or of the meaning of a field, so
// that processes of two versions refuse each other's mutexes instead of misreading them.
constexpr CARD32 mutexMagic = 0x786D7654;  // "Tvmx"
constexpr CARD32 mutexVersion = 1;
constexpr CARD32 abiTag = static_cast<CARD32>(sizeof(void*) * 8) |
                          (std::endian::native == std::endian::little ? 0x4C00 : 0x4200);

struct MutexFile {
  CARD32 magic;
  CARD32 version;
  CARD32 size;  // sizeof(pthread_mutex_t)
  CARD32 abi;
  std::uint64_t nsDev, nsIno;  // the creator's PID namespace
  pthread_mutex_t m;
};
static_assert(offsetof(MutexFile, nsDev) == 16 && offsetof(MutexFile, m) == 32,
              "the header has one layout for every bitness");

// One per mutex file and process, shared by every handle of the mutex in the process: the
// pthread mutex is mapped only once per process (its robust list links it by address), and the
// layer's record of which thread of this process owns it, and how often, lives here.
struct MutexObj {
  MutexObj* next;
  dev_t dev;
  ino_t ino;
  MutexFile* f;
  std::atomic<pid_t> owner;  // the owning thread of this process, 0 for none
  CARD32 depth;              // how often the owner holds it; touched by the owner only
};
struct MutexRec {
  HandleRec h;
  MutexObj* o;
};

pthread_mutex_t objsLock = PTHREAD_MUTEX_INITIALIZER;
MutexObj* objs = nullptr;  // under objsLock

thread_local pid_t me = 0;
pid_t Me() {
  if (me == 0) me = ThisThread();
  return me;
}

int PidNs(std::uint64_t& dev, std::uint64_t& ino) {
  struct stat s {};
  if (sys.fstatat(AT_FDCWD, "/proc/self/ns/pid", &s, 0) != 0) return errno;
  dev = s.st_dev;
  ino = s.st_ino;
  return 0;
}

// A robust, process-shared, recursive mutex, owned by nobody; 0 or an error number.
int InitMutex(pthread_mutex_t* m) {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
  const int e = pthread_mutex_init(m, &a);
  pthread_mutexattr_destroy(&a);
  return e;
}

// Prepares a fresh mutex file: the header, then the mutex, owned by nobody.
int InitMutexFile(int fd) {
  std::uint64_t dev = 0, ino = 0;
  if (const int e = PidNs(dev, ino); e != 0) return e;
  void* p = sys.mmap(nullptr, sizeof(MutexFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return errno;
  MutexFile* f = static_cast<MutexFile*>(p);
  f->magic = mutexMagic;
  f->version = mutexVersion;
  f->size = sizeof(pthread_mutex_t);
  f->abi = abiTag;
  f->nsDev = dev;
  f->nsIno = ino;
  const int e = InitMutex(&f->m);
  sys.munmap(p, sizeof(MutexFile));
  return e;
}

// The kind of a mutex as InitMutex makes it: glibc keeps type, robustness and sharing in one
// word of the mutex, and takes every lock's path from it. A mutex of another kind in a live
// file (its bytes overwritten by another process of the user) could send the lock down the
// priority-protocol paths, which abort the process on values they do not expect: such a file
// is refused instead.
int MutexKind(const pthread_mutex_t& m) {
  return m.__data.__kind;
}
int OurMutexKind() {
  static const int k = [] {
    pthread_mutex_t m;
    InitMutex(&m);
    const int r = MutexKind(m);
    pthread_mutex_destroy(&m);
    return r;
  }();
  return k;
}

// Maps a mutex file after checking its header; null with the last error set otherwise (EPROTO,
// and a message naming the file at path, for a file that is no mutex of this layout, bitness
// and PID namespace).
MutexFile* MapMutexFile(int fd, const struct stat& st, const char* path) {
  if (st.st_size < static_cast<off_t>(sizeof(MutexFile))) {
    Refuse("object", path, "it is too small for a mutex", EPROTO);
    return nullptr;
  }
  std::uint64_t dev = 0, ino = 0;
  if (const int e = PidNs(dev, ino); e != 0) {
    SetError(e);
    return nullptr;
  }
  void* p = sys.mmap(nullptr, sizeof(MutexFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    SetError(errno);
    return nullptr;
  }
  MutexFile* f = static_cast<MutexFile*>(p);
  const char* bad = f->magic != mutexMagic       ? "it holds no mutex"
                    : f->version != mutexVersion ? "its mutex has another layout version"
                    : f->size != sizeof(pthread_mutex_t) || f->abi != abiTag
                        ? "its mutex is of another ABI (bitness)"
                    : f->nsDev != dev || f->nsIno != ino ? "its mutex is of another PID namespace"
                    : MutexKind(f->m) != OurMutexKind()  ? "its mutex is of another kind"
                                                         : nullptr;
  if (bad != nullptr) {
    sys.munmap(p, sizeof(MutexFile));
    Refuse("object", path, bad, EPROTO);
    return nullptr;
  }
  return f;
}

// The process's record of the mutex file that fd (status st) has open, made on the first open
// in the process. A later open's descriptor is closed: the first one holds the liveness byte
// for the process. Null with the last error set on failure; fd is closed then too.
MutexObj* Attach(int fd, const struct stat& st, const char* path) {
  pthread_mutex_lock(&objsLock);
  MutexObj* o = objs;
  while (o != nullptr && !(o->dev == st.st_dev && o->ino == st.st_ino)) o = o->next;
  if (o != nullptr) {
    sys.close(fd);
  } else if (MutexFile* f = MapMutexFile(fd, st, path); f == nullptr) {
    sys.close(fd);
  } else if (o = new (std::nothrow) MutexObj{objs, st.st_dev, st.st_ino, f, {0}, 0}; o == nullptr) {
    sys.munmap(f, sizeof(MutexFile));
    sys.close(fd);
    SetError(ENOMEM);
  } else {
    objs = o;
  }
  pthread_mutex_unlock(&objsLock);
  return o;
}

CARD32 WaitMutex(HandleRec* h, CARD32 ms) {
  MutexObj* o = reinterpret_cast<MutexRec*>(h)->o;
  int e;
  if (ms == infinite) {
    e = sys.mutexLock(&o->f->m);
  } else {
    // Without the clock there is no deadline: the wait fails rather than time out at once.
    timespec t{};
    if (sys.clock_gettime(CLOCK_REALTIME, &t) != 0) {
      SetError(errno);
      return waitFailed;
    }
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
      t.tv_sec += 1;
      t.tv_nsec -= 1000000000L;
    }
    e = sys.mutexTimedLock(&o->f->m, &t);
  }
  if (e == ETIMEDOUT) return waitTimeout;
  if (e == EOWNERDEAD) {
    // The owning thread ended while it owned the mutex, and the calling thread owns it now, as
    // on Windows. It is made consistent at once: a robust mutex given back while inconsistent
    // refuses every later owner for good. Should this thread too end while owning it, the next
    // waiter is told the same.
    if (const int c = sys.mutexConsistent(&o->f->m); c != 0) {
      SetError(c);
      return waitFailed;
    }
    o->owner.store(Me(), std::memory_order_relaxed);
    o->depth = 1;
    return waitAbandoned;
  }
  if (e != 0) {
    SetError(e);
    return waitFailed;
  }
  if (o->owner.load(std::memory_order_relaxed) == Me()) {
    ++o->depth;
  } else {
    o->owner.store(Me(), std::memory_order_relaxed);
    o->depth = 1;
  }
  return waitObject0;
}

}  // namespace

Handle CreateFileMappingA(const CHAR* name, CARD32 size) {
  // Windows needs a size for a mapping backed by the paging file too.
  if (size == 0) {
    SetError(EINVAL);
    return nullptr;
  }
  MappingRec* r = static_cast<MappingRec*>(std::malloc(sizeof(MappingRec)));
  if (r == nullptr) {
    SetError(ENOMEM);
    return nullptr;
  }
  bool created = false;
  struct stat st {};
  char path[PATH_MAX + NAME_MAX + 2];
  const int fd = CreateOrOpen(name, size, nullptr, created, st, path);
  if (fd < 0) {
    std::free(r);
    return nullptr;
  }
  r->h.kind = kindMapping;
  r->fd = fd;
  r->path = strdup(path);  // only for messages: none when memory is short
  // An opened mapping keeps the size its creator gave, whatever the caller asks for now, as on
  // Windows: an object file never changes its size.
  r->size = created ? size : static_cast<CARD32>(std::min<off_t>(st.st_size, 0xFFFFFFFF));
  SetError(created ? 0 : errAlreadyExists);
  return r;
}

void* MapViewOfFile(Handle mapping, CARD32 size) {
  HandleRec* h = static_cast<HandleRec*>(mapping);
  if (h == nullptr || h->kind != kindMapping) {
    SetError(EBADF);
    return nullptr;
  }
  const MappingRec* r = reinterpret_cast<MappingRec*>(h);
  if (size == 0) size = r->size;
  // A view beyond the end of the object would raise SIGBUS where it is touched; Windows refuses
  // it at once, and so does this. The file is measured again: another process of the user may
  // have cut it since it was opened (one that cuts it after this check still can, which on
  // Windows no process can do; objects of one user trust each other).
  struct stat st {};
  if (sys.fstat(r->fd, &st) != 0) {
    SetError(errno);
    return nullptr;
  }
  if (size > r->size || st.st_size < static_cast<off_t>(size)) {
    char why[96];
    std::snprintf(why, sizeof why, "it holds %lld bytes, fewer than a view of %u",
                  static_cast<long long>(std::min<off_t>(st.st_size, r->size)), size);
    Refuse("object", r->path != nullptr ? r->path : "?", why, EOVERFLOW);
    return nullptr;
  }
  void* a = sys.mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, r->fd, 0);
  if (a == MAP_FAILED) {
    SetError(errno);
    return nullptr;
  }
  return a;
}

Handle CreateMutexA(const CHAR* name) {
  MutexRec* r = static_cast<MutexRec*>(std::malloc(sizeof(MutexRec)));
  if (r == nullptr) {
    SetError(ENOMEM);
    return nullptr;
  }
  bool created = false;
  struct stat st {};
  char path[PATH_MAX + NAME_MAX + 2];
  const int fd = CreateOrOpen(name, sizeof(MutexFile), InitMutexFile, created, st, path);
  MutexObj* o = fd < 0 ? nullptr : Attach(fd, st, path);
  if (o == nullptr) {
    std::free(r);
    return nullptr;
  }
  r->h.kind = Kind::mutex;
  r->o = o;
  SetError(created ? 0 : errAlreadyExists);
  return r;
}

bool ReleaseMutex(Handle mutex) {
  HandleRec* h = static_cast<HandleRec*>(mutex);
  if (h == nullptr || h->kind != Kind::mutex) {
    SetError(EBADF);
    return false;
  }
  MutexObj* o = reinterpret_cast<MutexRec*>(h)->o;
  // Only the owning thread may give the mutex back; for any other thread the release fails and
  // changes nothing. The layer tests this itself, so that a refused release never reaches the
  // mutex.
  if (o->owner.load(std::memory_order_relaxed) != Me()) {
    SetError(errNotOwner);
    return false;
  }
  const CARD32 d = o->depth;
  o->depth = d - 1;
  if (d == 1) o->owner.store(0, std::memory_order_relaxed);
  if (const int e = sys.mutexUnlock(&o->f->m); e != 0) {
    o->owner.store(Me(), std::memory_order_relaxed);
    o->depth = d;
    SetError(e == EPERM ? errNotOwner : e);
    return false;
  }
  return true;
}

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

// ---- Files --------------------------------------------------------------------------------------
// Windows opens the log without sharing, so that a second process cannot open it. Here the open
// takes an exclusive flock without waiting; a second process's open finds it taken and fails
// (EWOULDBLOCK). The kernel drops the lock when the descriptor is closed or the process ends.
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

// ---- Command line and current directory ---------------------------------------------------------

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
