// The entry point of TovrelSnd: starts the main module, which never returns.
#include "TovrelSnd.h"

int main() {
  TovrelSnd::Start();
}
