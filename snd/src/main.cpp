// The entry point of TovrelSnd: hands the argument vector to the platform layer, then starts the
// main module, which never returns.
#include "TovrelSnd.h"
#include "os/os.h"

int main(int argc, char** argv) {
  Os::MainArgs(argc, argv);
  TovrelSnd::Start();
}
