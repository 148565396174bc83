// The system calls of the posix platform layer, as one table of function pointers.
// posix.cpp calls the system only through this table; a test may replace an entry to make a
// call fail or to feed it chosen values (tests/os_fault.h restores the table afterwards).
// Variadic calls have fixed-signature wrappers.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/types.h>
#include <time.h>

namespace Os::Posix {

struct Syscalls {
  int (*clock_gettime)(clockid_t clk, timespec* ts);
  int (*prctl)(int option, unsigned long arg);
  ssize_t (*write)(int fd, const void* p, size_t n);
  int (*open)(const char* name, int flags, mode_t mode);
  int (*close)(int fd);
  int (*stat)(const char* name, struct stat* st);
  int (*fstat)(int fd, struct stat* st);
  int (*flock)(int fd, int op);
  int (*unlink)(const char* name);
  int (*renameat2)(int olddir, const char* from, int newdir, const char* to, unsigned flags);
  // Named objects: the session directory, the object files and their OFD locks, mappings and
  // the named mutexes (with open, close, fstat and renameat2 above).
  uid_t (*geteuid)();
  pid_t (*getpid)();
  int (*mkdir)(const char* path, mode_t mode);
  int (*openat)(int dir, const char* path, int flags, mode_t mode);
  int (*fstatat)(int dir, const char* path, struct stat* st, int flags);
  int (*fchmod)(int fd, mode_t mode);
  int (*ofdLock)(int fd, int cmd, struct flock* l);  // fcntl(fd, F_OFD_SETLK[W], l)
  int (*posix_fallocate)(int fd, off_t offset, off_t len);
  int (*unlinkat)(int dir, const char* path, int flags);
  void* (*mmap)(void* a, size_t n, int prot, int flags, int fd, off_t offset);
  int (*munmap)(void* a, size_t n);
  int (*mutexLock)(pthread_mutex_t* m);
  int (*mutexTimedLock)(pthread_mutex_t* m, const timespec* deadline);
  int (*mutexUnlock)(pthread_mutex_t* m);
  int (*mutexConsistent)(pthread_mutex_t* m);
  // Waitable timer.
  int (*timerfd_create)(int clk, int flags);
  int (*timerfd_settime)(int fd, int flags, const itimerspec* now, itimerspec* old);
  ssize_t (*read)(int fd, void* p, size_t n);
  int (*poll)(pollfd* fds, nfds_t n, int ms);
  // Console control handler.
  int (*pthread_sigmask)(int how, const sigset_t* set, sigset_t* old);
  int (*pthread_create)(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg);
  int (*sigwait)(const sigset_t* set, int* sig);
  int (*sigaction)(int sig, const struct sigaction* act, struct sigaction* old);
  int (*raise)(int sig);
  // Current directory.
  char* (*getcwd)(char* buf, size_t size);
};

extern Syscalls sys;
// The table as the shipped build fills it.
extern const Syscalls sysDefault;

}  // namespace Os::Posix
