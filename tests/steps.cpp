// The "steps" child role: see steps.h for the steps.
#include "steps.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "Tovrel.h"
#include "TovrelTable.h"
#include "os/os.h"
#include "os_fault.h"

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

bool Given(const std::string& f) {
  return std::filesystem::exists(Steps::GoFile(f));
}

Tovrel::TId Id(const std::string& s) {
  return s == "main" ? Tovrel::idMain : Tovrel::idBack;
}

// Buffer tables that the program does not carry, for the check of the table.
struct Table {
  Tovrel::TBufCfgs t;
};
const std::map<std::string, Table> tables = {
    {"shipped", {{{"Main", 512, 1, 2}, {"Back", 1, 0, 0}}}},
    {"counts", {{{"Counts", 512, 1, 2}, {"Back", 1, 0, 0}}}},
    {"countsLen0", {{{"Main", 512, 1, 2}, {"Counts", 0, 0, 0}}}},
    {"lowerCounts", {{{"counts", 512, 1, 2}, {"Back", 1, 0, 0}}}},
    {"duplicate", {{{"Main", 512, 1, 2}, {"Main", 1, 0, 0}}}},
    {"duplicateLen0", {{{"Main", 0, 1, 2}, {"Main", 0, 0, 0}}}},
    {"len0", {{{"Main", 512, 1, 2}, {"Back", 0, 0, 0}}}},
    {"full",
     {{{{'S', 'i', 'x', 't', 'e', 'e', 'n', 'C', 'h', 'a', 'r', 'N', 'a', 'm', 'e', 's'}, 1, 0, 0},
       {{'S', 'i', 'x', 't', 'e', 'e', 'n', 'C', 'h', 'a', 'r', 'N', 'a', 'm', 'e', 's'},
        1,
        0,
        0}}}},
};

int FailLock(pthread_mutex_t*) {
  return EINVAL;
}

CHILD_ROLE(steps) {
  Os::Handle mtx = nullptr;
  Os::Handle shm = nullptr;
  BYTE* view = nullptr;
  Tovrel::TRdrDesc* rdr = nullptr;
  Tovrel::TWrtrDesc* wrtr = nullptr;
  OsFault::Guard guard;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& step = args[i];
    auto arg = [&]() -> const std::string& {
      if (i + 1 >= args.size()) {
        Out("missing argument of " + step);
        std::exit(2);
      }
      return args[++i];
    };
    if (step == "mtx") {
      mtx = Os::CreateMutexA(arg().c_str());
      Out((mtx != nullptr ? "mtx " : "mtx! ") + Num(Os::GetLastError()));
    } else if (step == "wait") {
      Out("wait " + Num(Os::WaitForSingleObject(mtx, Os::infinite)));
    } else if (step == "try") {
      Out("try " + Num(Os::WaitForSingleObject(mtx, 0)));
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
    } else if (step == "tovrel") {
      Tovrel::Start();
      Out("tovrel");
    } else if (step == "rdr") {
      rdr = Tovrel::NewRdr(Id(arg()));
      Out("rdr");
    } else if (step == "wrtr") {
      wrtr = Tovrel::NewWrtr(Id(arg()));
      Out("wrtr");
    } else if (step == "write") {
      BYTE x[4096];
      std::memset(x, static_cast<int>(Card(arg())), sizeof x);
      Out("write " + Num(Tovrel::Write(wrtr, x, Card(arg()))));
    } else if (step == "read") {
      BYTE x[4096] = {};
      const CARD32 n = Tovrel::Read(rdr, x, Card(arg()));
      Out("read " + Num(n) + " " + Hex(x, n));
    } else if (step == "writeloop") {
      const std::string f = arg();
      BYTE x[128];
      BYTE v = 0;
      CARD32 n = 0;
      while (!Given(f)) {
        for (int k = 0; k < 100; ++k, ++n) {
          std::memset(x, ++v, sizeof x);
          Tovrel::Write(wrtr, x, sizeof x);
        }
      }
      Out("writeloop " + Num(n));
    } else if (step == "chk") {
      Tovrel::ChkCfgs(tables.at(arg()).t);
      Out("chk ok");
    } else if (step == "fault") {
      (arg() == "lock" ? OsFault::Sys().mutexLock : OsFault::Sys().mutexUnlock) = FailLock;
      Out("fault");
    } else if (step == "hold") {
      const std::string f = arg();
      Out("hold " + f);
      while (!Given(f)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else if (step == "uid") {
      const CARD32 u = Card(arg());
      if (setgid(u) != 0 || setuid(u) != 0) {
        Out("uid! " + Num(static_cast<CARD32>(errno)));
        return 2;
      }
      Out("uid");
    } else if (step == "kill") {
      raise(SIGKILL);
    } else {
      Out("unknown step " + step);
      return 2;
    }
  }
  return 0;
}

}  // namespace
