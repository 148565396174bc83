// Replacing entries of the posix layer's system-call table in a test. The guard puts the
// shipped table back when it goes out of scope.
#pragma once

#include "os/posix_sys.h"

namespace OsFault {

inline Os::Posix::Syscalls& Sys() {
  return Os::Posix::sys;
}

struct Guard {
  Guard() = default;
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ~Guard() { Os::Posix::sys = Os::Posix::sysDefault; }
};

}  // namespace OsFault
