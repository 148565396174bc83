// Fuzz target: a mapping or a mutex opened from an object file whose bytes and size are
// arbitrary, as another process of the user could leave them in a live object. The first input
// byte picks the kind and the size asked for; the rest is the file. The open gives a clear
// error or a working object: a view that can be read to its end, a mutex that can be tried and
// given back. Never a crash, never a wait without end.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "os/os.h"

namespace {

std::string dir;

// A fresh session directory of the fuzzing process's own; descriptors enough for the objects
// that the layer keeps open for the life of the process.
void Setup() {
  char tmpl[] = "/tmp/tovrel-fuzz-objects-XXXXXX";
  dir = mkdtemp(tmpl);
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (dir.empty()) Setup();
  if (size == 0) return 0;
  static unsigned k = 0;
  const std::string name = "F" + std::to_string(k++);
  const std::string path = dir + "/" + name;
  // The file, held by a live holder: a descriptor of its own with the liveness byte shared.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  if (write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) std::abort();
  struct flock l {};
  l.l_type = F_RDLCK;
  l.l_whence = SEEK_SET;
  l.l_start = 1;
  l.l_len = 1;
  if (fcntl(fd, F_OFD_SETLK, &l) != 0) std::abort();

  const std::string local = "Local\\" + name;
  if ((data[0] & 1) == 0) {
    const CARD32 want = 1 + data[0] * 8u;
    Os::Handle h = Os::CreateFileMappingA(local.c_str(), want);
    if (h != nullptr) {
      if (Os::GetLastError() != Os::errAlreadyExists) std::abort();
      const volatile BYTE* a = static_cast<const volatile BYTE*>(Os::MapViewOfFile(h, 0));
      if (a != nullptr) {
        unsigned sum = 0;
        for (std::size_t i = 0; i < size - 1; ++i) sum += a[i];
        (void)sum;
      }
    }
  } else {
    Os::Handle h = Os::CreateMutexA(local.c_str());
    if (h != nullptr) {
      if (Os::GetLastError() != Os::errAlreadyExists) std::abort();
      const CARD32 r = Os::WaitForSingleObject(h, 0);
      if (r == Os::waitObject0 || r == Os::waitAbandoned) Os::ReleaseMutex(h);
    }
  }
  close(fd);
  unlink(path.c_str());
  return 0;
}
