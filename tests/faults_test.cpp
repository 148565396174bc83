// Faults of the system calls under the platform layer, injected through its call table: each call
// that can fail fails in turn, with the errors a real system gives. A failure is reported (the
// call's error code, then the module's fatal text or run-time error and its exit code), never
// taken for success and never a crash, and it leaves nothing half made: the same request succeeds
// once the fault is gone. EINTR, which the Windows calls never see, is retried.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "Cfg.h"
#include "Log.h"
#include "MMSys.h"
#include "Tovrel.h"
#include "child.h"
#include "os/os.h"
#include "os_fault.h"
#include "steps.h"

namespace {

namespace fs = std::filesystem;
using Os::Posix::sysDefault;

// The fault of the entry that a case replaces: the first `skip` calls go through, then `intr`
// calls fail with EINTR, then every call fails with `err` (none when it is 0).
struct Fault {
  int skip = 0, intr = 0, err = 0;
  int calls = 0;  // calls of the replaced entry
} f;

// True when this call is to fail, with errno (or the returned number) set to e.
bool Fails(int& e) {
  ++f.calls;
  if (f.skip > 0) {
    --f.skip;
    return false;
  }
  if (f.intr > 0) {
    --f.intr;
    e = EINTR;
    return true;
  }
  e = f.err;
  return f.err != 0;
}

// Replacements that set errno and return -1 (or null, or MAP_FAILED); the pthread-style ones
// return the error number.
#define FAULT_ENTRY(entry, R, failed, params, args) \
  R Faulty_##entry params {                         \
    int e = 0;                                      \
    if (Fails(e)) {                                 \
      errno = e;                                    \
      return failed;                                \
    }                                               \
    return sysDefault.entry args;                   \
  }
FAULT_ENTRY(openat, int, -1, (int d, const char* p, int fl, mode_t m), (d, p, fl, m))
FAULT_ENTRY(open, int, -1, (const char* p, int fl, mode_t m), (p, fl, m))
FAULT_ENTRY(fstat, int, -1, (int fd, struct stat* s), (fd, s))
FAULT_ENTRY(fstatat, int, -1, (int d, const char* p, struct stat* s, int fl), (d, p, s, fl))
FAULT_ENTRY(fchmod, int, -1, (int fd, mode_t m), (fd, m))
FAULT_ENTRY(ofdLock, int, -1, (int fd, int cmd, struct flock* l), (fd, cmd, l))
FAULT_ENTRY(flock, int, -1, (int fd, int op), (fd, op))
FAULT_ENTRY(mmap, void*, MAP_FAILED, (void* a, size_t n, int p, int fl, int fd, off_t o),
            (a, n, p, fl, fd, o))
FAULT_ENTRY(write, ssize_t, -1, (int fd, const void* p, size_t n), (fd, p, n))
FAULT_ENTRY(read, ssize_t, -1, (int fd, void* p, size_t n), (fd, p, n))
FAULT_ENTRY(renameat2, int, -1, (int a, const char* b, int c, const char* d, unsigned x),
            (a, b, c, d, x))
FAULT_ENTRY(unlink, int, -1, (const char* p), (p))
FAULT_ENTRY(unlinkat, int, -1, (int d, const char* p, int fl), (d, p, fl))
FAULT_ENTRY(timerfd_create, int, -1, (int c, int fl), (c, fl))
FAULT_ENTRY(timerfd_settime, int, -1, (int fd, int fl, const itimerspec* n, itimerspec* o),
            (fd, fl, n, o))
FAULT_ENTRY(poll, int, -1, (pollfd * p, nfds_t n, int ms), (p, n, ms))
FAULT_ENTRY(clock_gettime, int, -1, (clockid_t c, timespec* t), (c, t))
FAULT_ENTRY(prctl, int, -1, (int o, unsigned long a), (o, a))
FAULT_ENTRY(getcwd, char*, nullptr, (char* b, size_t n), (b, n))
#undef FAULT_ENTRY

#define FAULT_NUMBER(entry, params, args) \
  int Faulty_##entry params {             \
    int e = 0;                            \
    if (Fails(e)) return e;               \
    return sysDefault.entry args;         \
  }
FAULT_NUMBER(posix_fallocate, (int fd, off_t o, off_t n), (fd, o, n))
FAULT_NUMBER(mutexLock, (pthread_mutex_t * m), (m))
FAULT_NUMBER(mutexTimedLock, (pthread_mutex_t * m, const timespec* t), (m, t))
#undef FAULT_NUMBER

// A write that takes nothing (and would again, for ever; the fault gives up after 1000).
ssize_t WritesNothing(int, const void*, size_t) {
  if (++f.calls < 1000) return 0;
  errno = EIO;
  return -1;
}

using Install = void (*)(Os::Posix::Syscalls&);
const std::map<std::string, Install> entries = {
#define E(entry)                                                      \
  {                                                                   \
#entry, [](Os::Posix::Syscalls & s) { s.entry = Faulty_##entry; } \
  }
    E(openat),
    E(open),
    E(fstat),
    E(fstatat),
    E(fchmod),
    E(ofdLock),
    E(flock),
    E(mmap),
    E(write),
    E(read),
    E(renameat2),
    E(unlink),
    E(unlinkat),
    E(timerfd_create),
    E(timerfd_settime),
    E(poll),
    E(clock_gettime),
    E(prctl),
    E(getcwd),
    E(posix_fallocate),
    E(mutexLock),
    E(mutexTimedLock),
#undef E
    {"write0", [](Os::Posix::Syscalls& s) { s.write = WritesNothing; }},
};

void Inject(const std::string& entry, int err, int skip = 0, int intr = 0) {
  f = Fault{skip, intr, err, 0};
  entries.at(entry)(OsFault::Sys());
}

// ---- The platform layer -------------------------------------------------------------------------

// One request to the layer: true when every call of it succeeded, with the last error.
using Request = std::function<bool(const std::string& name)>;

bool Mapping(const std::string& name) {
  Os::Handle m = Os::CreateFileMappingA(("Local\\" + name).c_str(), 4096);
  BYTE* a = m == nullptr ? nullptr : static_cast<BYTE*>(Os::MapViewOfFile(m, 4096));
  if (a == nullptr) return false;
  a[4095] = 1;  // touches the last page: no SIGBUS
  return true;
}

bool Mutex(const std::string& name, CARD32 ms) {
  Os::Handle m = Os::CreateMutexA(("Local\\" + name).c_str());
  return m != nullptr && Os::WaitForSingleObject(m, ms) == Os::waitObject0 && Os::ReleaseMutex(m);
}

bool Timer(std::int64_t due, CARD32 ms) {
  Os::Handle t = Os::CreateWaitableTimerA();
  return t != nullptr && Os::SetWaitableTimer(t, due, 0) &&
         Os::WaitForSingleObject(t, ms) == Os::waitObject0;
}

bool AppendLine(const std::string& name) {
  Os::File h =
      fs::exists(name) ? Os::OpenFileForAppend(name.c_str()) : Os::CreateNewFile(name.c_str());
  if (h == Os::InvalidFile) return false;
  std::uint64_t n = 0;
  const bool ok = Os::WriteFile(h, "line\r\n", 6) && Os::GetFileSize(h, n) && n > 0;
  Os::CloseHandle(h);
  return ok;
}

const std::map<std::string, Request> requests = {
    {"mapping", Mapping},
    {"mutex", [](const std::string& n) { return Mutex(n, Os::infinite); }},
    {"mutex 50 ms", [](const std::string& n) { return Mutex(n, 50); }},
    {"timer", [](const std::string&) { return Timer(-10000, Os::infinite); }},
    {"timer 1 s", [](const std::string&) { return Timer(-10000, 1000); }},
    {"timer at", [](const std::string&) { return Timer(0, Os::infinite); }},  // absolute, past
    {"append", AppendLine},
    {"rename",
     [](const std::string& n) {
       fs::remove(n + ".b");
       std::ofstream(n + ".a") << "x";
       return Os::MoveFileA((n + ".a").c_str(), (n + ".b").c_str()) &&
              Os::DeleteFileA((n + ".b").c_str());
     }},
    {"period",
     [](const std::string&) {
       return Os::timeBeginPeriod(1) == Os::timerrNoError &&
              Os::timeEndPeriod(1) == Os::timerrNoError;
     }},
    {"cwd",
     [](const std::string&) {
       CHAR s[4096];
       return Os::GetCurrentDirectory(s, sizeof s) && s[0] == '/';
     }},
};

// The layer's temporary files of unfinished objects.
bool NoTemporaryFiles() {
  for (const auto& e : fs::directory_iterator(Steps::SessionDir()))
    if (e.path().filename().string()[0] == '.') return false;
  return true;
}

TEST(Faults, EachFailingCallFailsTheRequestWithItsErrorAndLeavesNothingHalfMade) {
  struct Case {
    const char* entry;
    int err, skip;
    const char* request;
  } cases[] = {
      // The session directory, the object file, its locks, the fresh file and its rename.
      {"openat", EACCES, 0, "mapping"},
      {"openat", EMFILE, 1, "mapping"},
      {"openat", ENOSPC, 2, "mapping"},
      {"fstatat", EIO, 0, "mapping"},
      {"fstatat", EACCES, 2, "mapping"},
      {"fstat", EIO, 0, "mapping"},
      {"fstat", EIO, 1, "mapping"},
      {"fstat", EIO, 2, "mapping"},
      {"fstat", EIO, 3, "mapping"},
      {"fstat", EIO, 4, "mapping"},  // measuring the file again for the view
      {"ofdLock", ENOLCK, 0, "mapping"},
      {"ofdLock", EIO, 1, "mapping"},
      {"ofdLock", ENOLCK, 2, "mapping"},
      {"fchmod", EPERM, 0, "mapping"},
      {"posix_fallocate", ENOSPC, 0, "mapping"},
      {"posix_fallocate", EIO, 0, "mutex"},
      {"renameat2", EIO, 0, "mapping"},
      {"renameat2", ENOSPC, 0, "mutex"},
      {"mmap", ENOMEM, 0, "mapping"},
      {"mmap", ENOMEM, 0, "mutex"},     // the fresh mutex file's initialisation
      {"mmap", EAGAIN, 1, "mutex"},     // the mutex's mapping
      {"fstatat", EACCES, 3, "mutex"},  // the PID namespace of a fresh mutex
      {"mutexLock", EAGAIN, 0, "mutex"},
      {"mutexTimedLock", EINVAL, 0, "mutex 50 ms"},
      {"clock_gettime", EINVAL, 0, "mutex 50 ms"},
      // The waitable timer.
      {"timerfd_create", EMFILE, 0, "timer"},
      {"timerfd_create", ENOMEM, 0, "timer"},
      {"timerfd_settime", EINVAL, 0, "timer"},
      {"clock_gettime", EINVAL, 0, "timer at"},
      {"read", EIO, 0, "timer"},
      {"poll", ENOMEM, 0, "timer 1 s"},
      {"read", EIO, 0, "timer 1 s"},
      // Files.
      {"open", EACCES, 0, "append"},
      {"open", ENOSPC, 0, "append"},
      {"flock", EWOULDBLOCK, 0, "append"},
      {"write", ENOSPC, 0, "append"},
      {"write", EIO, 0, "append"},
      {"write0", 0, 0, "append"},
      {"fstat", EIO, 0, "append"},
      {"renameat2", EACCES, 0, "rename"},
      {"renameat2", EEXIST, 0, "rename"},
      {"unlink", EACCES, 0, "rename"},
      {"unlink", EBUSY, 0, "rename"},
      {"prctl", EPERM, 0, "period"},
      {"prctl", EINVAL, 1, "period"},
      {"getcwd", EACCES, 0, "cwd"},
      {"getcwd", ENOENT, 0, "cwd"},
  };
  int k = 0;
  for (const auto& c : cases) {
    const std::string name = "F" + std::to_string(k++) + "_" + c.entry;
    SCOPED_TRACE(name + " " + c.request + " " + std::strerror(c.err));
    bool ok = true;
    CARD32 err = 0;
    int calls = 0;
    {
      OsFault::Guard g;
      Inject(c.entry, c.err, c.skip);
      ok = requests.at(c.request)(name);
      err = Os::GetLastError();
      calls = f.calls;
    }
    EXPECT_FALSE(ok) << "the fault was not reported";
    EXPECT_GT(calls, c.skip) << "the entry was not called as often as the case thinks";
    if (std::string(c.entry) == "write0") {
      EXPECT_EQ(err, unsigned(EIO));
      EXPECT_EQ(calls, 1) << "a write that takes nothing is not tried again";
    } else {
      EXPECT_EQ(err, unsigned(c.err));
    }
    EXPECT_TRUE(NoTemporaryFiles());
    EXPECT_TRUE(requests.at(c.request)(name)) << "once the fault is gone";
  }
}

// EINTR interrupts no Windows call: the layer calls again, and the request succeeds.
TEST(Faults, AnInterruptedCallIsCalledAgain) {
  struct Case {
    const char* entry;
    int skip;
    const char* request;
  } cases[] = {
      {"openat", 0, "mapping"},
      {"openat", 2, "mapping"},
      {"ofdLock", 0, "mapping"},
      {"ofdLock", 1, "mapping"},
      {"posix_fallocate", 0, "mapping"},
      {"open", 0, "append"},
      {"flock", 0, "append"},
      {"write", 0, "append"},
      {"read", 0, "timer"},
      {"poll", 0, "timer 1 s"},
      {"read", 0, "timer 1 s"},
  };
  int k = 0;
  for (const auto& c : cases) {
    const std::string name = "I" + std::to_string(k++) + "_" + c.entry;
    SCOPED_TRACE(name + " " + c.request);
    OsFault::Guard g;
    Inject(c.entry, 0, c.skip, 3);
    EXPECT_TRUE(requests.at(c.request)(name)) << Os::GetLastError();
    EXPECT_EQ(f.intr, 0) << "the entry was not interrupted as often as the case thinks";
  }
}

// A write that would block on a non-blocking descriptor (a console shared with a program that
// made it so) waits until it can write: WriteFile on Windows blocks too.
TEST(Faults, AWriteThatWouldBlockWaitsAndWritesEverything) {
  OsFault::Guard g;
  Inject("write", 0, 0, 0);
  OsFault::Sys().write = [](int fd, const void* p, size_t n) -> ssize_t {
    if (++f.calls <= 3) {
      errno = EAGAIN;
      return -1;
    }
    return sysDefault.write(fd, p, std::min<size_t>(n, 2));  // and in pieces
  };
  Os::File h = Os::CreateNewFile("a.log");
  ASSERT_NE(h, Os::InvalidFile);
  EXPECT_TRUE(Os::WriteFile(h, "line\r\n", 6));
  EXPECT_EQ(Child::ReadFile("a.log"), "line\r\n");
}

// ---- The modules on top -------------------------------------------------------------------------

// Injects the fault named by the first three arguments (entry, error, skip), then does the fourth:
//   tovrel   attaches a reader to Main        log      starts the log and writes a line
//   rotate   starts the log on a full file    mmsys    asks for the timer resolution
CHILD_ROLE(Faulted) {
  static OsFault::Guard g;
  const std::string what = args.at(3);
  if (what == "rotate") {
    std::ofstream("TovrelRcv016.log") << "oldest";
    std::ofstream("TovrelRcv.log") << "current";
    fs::resize_file("TovrelRcv.log", 134217728);
  }
  Inject(args.at(0), std::stoi(args.at(1)), std::stoi(args.at(2)));
  if (what == "tovrel") {
    Tovrel::Start();
    Tovrel::NewRdr(Tovrel::idMain);
  } else if (what == "log" || what == "rotate") {
    Log::Start();
    Log::Write(Cfg::midLog, Log::lvlMsg, "a line", false);
  } else if (what == "mmsys") {
    MMSys::Start();
  }
  return 0;
}

// Each failure ends the program with the module's own text: a fatal line on the log and the
// console, a run-time error or a fatal error on standard error. All of them come at start-up,
// where the chain of shutdowns ends the program with the return code's default, 255. (A write
// that fails everywhere would take standard error with it: the log's full device is a real
// fault in log_test and realfaults_test.)
TEST(Faults, TheModulesReportEachFailureAndEnd) {
  const std::string e = std::to_string(EACCES), n = std::to_string(ENOSPC),
                    m = std::to_string(ENOMEM), io = std::to_string(EIO);
  struct Case {
    const char* entry;
    int err, skip;
    const char* what;
    std::string fatal;  // the log's F line of Tovrel, or empty
    std::string err_;   // standard error, or empty
    int code;
  } cases[] = {
      {"openat", EACCES, 0, "tovrel", "NewMtx: CreateMutex failed, error code " + e, "", 255},
      {"posix_fallocate", ENOSPC, 0, "tovrel", "NewMtx: CreateMutex failed, error code " + n, "",
       255},
      {"posix_fallocate", ENOSPC, 1, "tovrel", "NewShm: CreateFileMapping failed, error code " + n,
       "", 255},
      {"mmap", ENOMEM, 2, "tovrel", "NewShm: MapViewOfFile failed, error code " + m, "", 255},
      {"ofdLock", EIO, 0, "tovrel", "NewMtx: CreateMutex failed, error code " + io, "", 255},
      {"open", EACCES, 0, "log", "",
       "Run-time error: Log: create \"TovrelRcv.log\" failed, error code " + e + "\r\n", 255},
      {"unlink", EACCES, 0, "rotate", "",
       "Run-time error: Log: delete \"TovrelRcv016.log\" failed, error code " + e + "\r\n", 255},
      {"renameat2", EIO, 0, "rotate", "",
       "Run-time error: Log: rename \"TovrelRcv.log\" failed, error code " + io + "\r\n", 255},
      {"prctl", EPERM, 0, "mmsys", "", "MMSys: timeBeginPeriod failed\r\n", 255},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " " + c.what);
    const std::string dir = Steps::Dir("p" + std::to_string(k++));
    auto p =
        Child::Start("Faulted", {c.entry, std::to_string(c.err), std::to_string(c.skip), c.what},
                     Child::Options{dir, {}});
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.Code(), c.code) << p.Err();
    EXPECT_EQ(p.Err(), c.err_);
    if (!c.fatal.empty()) {
      const std::string log = Child::ReadFile(dir + "/TovrelRcv.log");
      EXPECT_NE(log.find("Tovrel   F " + c.fatal + "\r\n"), std::string::npos) << log;
      EXPECT_NE(p.Out().find("Tovrel   F " + c.fatal + "\r\n"), std::string::npos) << p.Out();
    }
  }
}

}  // namespace
