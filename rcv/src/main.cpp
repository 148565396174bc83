// The entry point of TovrelRcv: hands the argument vector to the platform layer, then starts the
// main module, which never returns.
#include "TovrelRcv.h"
#include "os/os.h"

int main(int argc, char** argv) {
  Os::MainArgs(argc, argv);
  TovrelRcv::Start();
}
