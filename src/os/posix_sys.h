// The system calls of the posix platform layer, as one table of function pointers.
// posix.cpp calls the system only through this table; a test may replace an entry to make a
// call fail or to feed it chosen values (tests/os_fault.h restores the table afterwards).
// Variadic calls have fixed-signature wrappers.
#pragma once

#include <sys/types.h>
#include <time.h>

namespace Os::Posix {

struct Syscalls {
  int (*clock_gettime)(clockid_t clk, timespec* ts);
  int (*prctl)(int option, unsigned long arg);
  ssize_t (*write)(int fd, const void* p, size_t n);
};

extern Syscalls sys;
// The table as the shipped build fills it.
extern const Syscalls sysDefault;

}  // namespace Os::Posix
