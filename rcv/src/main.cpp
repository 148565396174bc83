// The entry point of TovrelRcv: starts the main module, which never returns.
#include "TovrelRcv.h"

int main() {
  TovrelRcv::Start();
}
