// A child for the configuration and start-up tests, built once per program against that
// program's modules. It starts Config, with everything it imports, under the argument vector it
// was given, then halts as the program would after its start-up. With TOVREL_START_ORDER set in
// its environment it starts the main module's imports instead, and writes on standard output
// the modules in the order in which they did their start-up work, one per line.
#include <stdlib.h>

#include "Config.h"
#include "Lib3.h"
#include "Runtime.h"
#include "os/os.h"
#include TOVREL_PROGRAM_HEADER

int main(int argc, char** argv) {
  Os::MainArgs(argc, argv);
  if (getenv("TOVREL_START_ORDER") != nullptr) {
    TOVREL_PROGRAM::StartImports();
    TOVREL_PROGRAM::StartImports();  // a second request starts nothing
    for (CARD32 i = 0; i < Runtime::StartCount(); ++i) {
      const char* n = Runtime::StartName(i);
      Os::WriteFile(Os::StdOut(), n, static_cast<CARD32>(Text(n, 64).Len()));
      Os::WriteFile(Os::StdOut(), "\n", 1);
    }
  } else {
    Config::Start();
  }
  Lib3::Halt();
}
