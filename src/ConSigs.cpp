#include "ConSigs.h"

#include "ConSigsInternal.h"
#include "Runtime.h"
#include "os/os.h"

namespace ConSigs {
namespace {

BOOL8 started = false;

// Writes "ConSigs: ", the text and a line end to standard output, in one write so that the
// line stays whole beside the log's echo from the main thread. Not through the log: a signal
// must be reported however far the program has started.
void Message(Text s) {
  static constexpr CHAR head[] = "ConSigs: ";
  CHAR line[80];
  CARD32 n = 0;
  for (CARD32 i = 0; i < sizeof head - 1; ++i) line[n++] = head[i];
  const CARD32 k = s.Len();
  for (CARD32 i = 0; i < k && n < sizeof line - 2; ++i) line[n++] = s.s[i];
  line[n++] = '\r';
  line[n++] = '\n';
  Os::WriteFile(Os::StdOut(), line, n);
}

}  // namespace

INT32 Handler(CARD32 ct) {
  if (ct <= Os::ctrlShutdownEvent && ct != Os::ctrlLogoffEvent) {
    Message("Signal received, terminating.");
    Runtime::HaltProgram(9);  // runs the shutdown on this thread and ends the process
  }
  return 0;  // FALSE: the signal goes on to the next handler
}

void Start() {
  if (started) return;
  started = true;
  Runtime::NoteStart("ConSigs");
  if (!Os::SetConsoleCtrlHandler(Handler, true)) {
    Message("Installation failed.");
    Runtime::HaltProgram(9);
  }
}

}  // namespace ConSigs
