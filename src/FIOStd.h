// FIOStd: the standard input, output and error of the process as file handles, and the
// value that stands for no file. Set at start-up, never changed.
#pragma once

#include "os/os.h"

namespace FIOStd {
void Start();
extern Os::File in, out, err, inv;
}  // namespace FIOStd
