// A child role for the configuration tests: starts Config, with everything it imports, under
// the argument vector it was given, then halts as the program would after its start-up. Built
// once per program, against that program's modules.
#include "Config.h"
#include "Lib3.h"
#include "os/os.h"

int main(int argc, char** argv) {
  Os::MainArgs(argc, argv);
  Config::Start();
  Lib3::Halt();
}
