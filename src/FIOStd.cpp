#include "FIOStd.h"

#include "Runtime.h"

namespace FIOStd {
namespace {
BOOL8 started = false;
}

Os::File in, out, err, inv;

void Start() {
  if (started) return;
  started = true;
  Runtime::NoteStart("FIOStd");
  in = Os::StdIn();
  out = Os::StdOut();
  err = Os::StdErr();
  inv = Os::InvalidFile;
}

}  // namespace FIOStd
