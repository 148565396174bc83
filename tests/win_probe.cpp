// win_probe: the Windows program that the tests under Wine (wine_test.cpp) start beside the real
// programs, the other process of their multi-process checks. It runs the steps given as its
// arguments in order, through the platform layer, and writes one line per step to standard
// output:
//   mtx NAME       CreateMutexA                      -> "mtx <last error>" or "mtx! <error>"
//   wait           WaitForSingleObject, no time-out  -> "wait <result>"
//   rel            ReleaseMutex                      -> "rel" or "rel! <error>"
//   shm NAME SIZE  CreateFileMappingA                -> "shm <last error>" or "shm! <error>"
//   view SIZE      MapViewOfFile                     -> "view" or "view! <error>"
//   peek N         the first N bytes of the view     -> "peek <hex>"
//   poke V N       sets the first N bytes to V       -> "poke"
//   hold F         -> "hold F", then waits until a file F appears in the current directory
//   exit           ends the process at once, owning whatever it owns
//   ctrlc          installs the console handler of ConSigs, then sends Ctrl+C to its own
//                  console group; the handler halts the program (exit code 99 if it never does)
// After the last step the process ends with exit code 0. Windows only: it includes the system's
// header for the one call that the platform layer does not carry (GenerateConsoleCtrlEvent).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ConSigs.h"
#include "Lib3.h"
#include "os/os.h"

namespace {

void Out(const std::string& s) {
  const std::string l = s + "\n";
  Os::WriteFile(Os::StdOut(), l.data(), static_cast<CARD32>(l.size()));
}

std::string Num(CARD32 x) {
  return std::to_string(x);
}

CARD32 Card(const std::string& s) {
  return static_cast<CARD32>(std::strtoul(s.c_str(), nullptr, 0));
}

std::string Hex(const BYTE* p, CARD32 n) {
  std::string s;
  char h[4];
  for (CARD32 k = 0; k < n; ++k) {
    std::snprintf(h, sizeof h, "%02X", p[k]);
    s += h;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  Os::Handle mtx = nullptr;
  Os::Handle shm = nullptr;
  BYTE* view = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    auto arg = [&]() -> std::string {
      if (i + 1 >= argc) {
        Out("missing argument of " + step);
        std::exit(2);
      }
      return argv[++i];
    };
    if (step == "mtx") {
      mtx = Os::CreateMutexA(arg().c_str());
      Out((mtx != nullptr ? "mtx " : "mtx! ") + Num(Os::GetLastError()));
    } else if (step == "wait") {
      Out("wait " + Num(Os::WaitForSingleObject(mtx, Os::infinite)));
    } else if (step == "rel") {
      Out(Os::ReleaseMutex(mtx) ? "rel" : "rel! " + Num(Os::GetLastError()));
    } else if (step == "shm") {
      const std::string name = arg();
      shm = Os::CreateFileMappingA(name.c_str(), Card(arg()));
      Out((shm != nullptr ? "shm " : "shm! ") + Num(Os::GetLastError()));
    } else if (step == "view") {
      view = static_cast<BYTE*>(Os::MapViewOfFile(shm, Card(arg())));
      Out(view != nullptr ? "view" : "view! " + Num(Os::GetLastError()));
    } else if (step == "peek") {
      Out("peek " + Hex(view, Card(arg())));
    } else if (step == "poke") {
      const BYTE v = static_cast<BYTE>(Card(arg()));
      std::memset(view, v, Card(arg()));
      Out("poke");
    } else if (step == "hold") {
      const std::string f = arg();
      Out("hold " + f);
      while (!Os::FileExists(f.c_str())) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else if (step == "exit") {
      Os::ExitProcess(0);
    } else if (step == "ctrlc") {
      // Wine refuses Ctrl+C events on the console that a process started from Linux with
      // redirected output gets: the probe takes a console of its own, keeping its output.
      HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE), err = ::GetStdHandle(STD_ERROR_HANDLE);
      ::FreeConsole();
      if (!::AllocConsole()) {
        Out("console! " + Num(Os::GetLastError()));
        return 2;
      }
      ::SetStdHandle(STD_OUTPUT_HANDLE, out);
      ::SetStdHandle(STD_ERROR_HANDLE, err);
      Lib3::Start();
      ConSigs::Start();
      if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        Out("ctrlc! " + Num(Os::GetLastError()));
        return 2;
      }
      std::this_thread::sleep_for(std::chrono::seconds(20));
      return 99;
    } else {
      Out("unknown step " + step);
      return 2;
    }
  }
  return 0;
}
