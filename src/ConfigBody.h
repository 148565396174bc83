// The body of each program's Config module: included once by rcv/src/Config.cpp and once by
// snd/src/Config.cpp, each of which first defines the end of its program's one-line description
// as Config::info. The program's name comes from its Cfg.
#pragma once

#include "Config.h"

#include "Args.h"
#include "Cfg.h"
#include "ConSigs.h"
#include "FIOStd.h"
#include "Lib2.h"
#include "Lib3.h"
#include "Log.h"
#include "Runtime.h"
#include "SO.h"
#include "Types.h"
#include "Utils.h"
#include "Version.h"
#include "os/os.h"

namespace Config {
namespace {

BOOL8 started = false;
TDataDesc rec;

// The length of every line that Config builds.
constexpr CARD32 lineLen = 128;

// Appends the one-line description of the program.
void WrInfo(SO::TBuffer& b) {
  SO::WrStr(b, Cfg::prgName);
  SO::WrStr(b, " v");
  SO::WrCard(b, Version::num, 0);
  SO::WrStr(b, " (");
  SO::WrStr(b, Version::date);
  SO::WrStr(b, info);
}

// Copies a text into a field of the record, cut at the field's capacity.
template <std::size_t N>
void SetStr(CHAR (&f)[N], Text v) {
  SO::TBuffer b;
  SO::Init(b, f);
  SO::WrStr(b, v);
}

// ---- ParseArgs and its steps ----

// Writes the help text to standard output and ends the program with exit code 0.
[[noreturn]] void Help() {
  CHAR s[lineLen];
  SO::TBuffer b;
  SO::Init(b, s);
  auto Out = [&] {
    SO::WrLn(b);
    Os::WriteFile(FIOStd::out, s, b.l);
    SO::Clear(b);
  };
  SO::WrStr(b, "(* ");
  WrInfo(b);
  SO::WrStr(b, " *)");
  Out();
  SO::WrStr(b, "syntax = '");
  SO::WrStr(b, Cfg::prgName);
  SO::WrStr(b, "' { option } .");
  Out();
  SO::WrStr(b, "option = '-h'      (* show this info and exit *)");
  Out();
  SO::WrStr(b, "       | '-a' adr  (* set remote IP address *)");
  Out();
  SO::WrStr(b, "       | '-p' prt  (* set remote UDP port *)");
  Out();
  SO::WrStr(b, "       | '-d'      (* show debug messages *)");
  Out();
  SO::WrStr(b, "       | '-v'      (* be verbose *) .");
  Out();
  Lib3::SetReturnCode(0);
  Runtime::HaltProgram(9);
}

// Reports a command-line error on standard error, quoting the current argument, and halts.
[[noreturn]] void Error(Text t) {
  CHAR s[lineLen];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, Cfg::prgName);
  SO::WrStr(b, ".Config.ParseArgs.Error: ");
  SO::WrStr(b, t);
  if (Args::len > 0) {
    SO::WrStr(b, ": '");
    SO::WrStr(b, Args::lit);
    SO::WrChar(b, '\'');
  }
  SO::WrLn(b);
  SO::WrStr(b, "Try '");
  SO::WrStr(b, Cfg::prgName);
  SO::WrStr(b, " -h' for help.");
  Lib3::FatalError(s);
}

// The current argument as the value of -a.
void GetAddress(CARD32& x) {
  if (Args::sym != Args::symArg || !Utils::MkIP(x, Args::lit)) Error("Invalid IP address");
}

// The current argument as the value of -p.
void GetPort(CARD16& p) {
  if (Args::sym != Args::symArg) Error("Invalid port number");
  CARD32 v = 0;
  if (!Utils::StrToCard(Args::lit, v)) Error("Invalid port number");
  if (v > 65535) Error("Port number out of range");
  p = static_cast<CARD16>(v);
}

// An option's name is the whole rest of its argument, compared exactly.
BOOL8 Is(Text name) {
  return Equal(Args::lit, name);
}

// Acts on each option in turn, left to right, until the first argument that is not one.
void Options() {
  while (Args::sym == Args::symOpt) {
    if (Is("?") || Is("h")) {
      Help();
    } else if (Is("d")) {
      rec.dbg = true;
    } else if (Is("v")) {
      rec.vrb = true;
    } else if (Is("a")) {
      Args::Read();
      GetAddress(rec.adr);
    } else if (Is("p")) {
      Args::Read();
      GetPort(rec.prt);
    } else {
      Error("Invalid option");
    }
    Args::Read();
  }
}

void ParseArgs() {
  Args::Reset();
  Args::Read();
  Options();
  if (Args::sym != Args::symEOA) Error("Unexpected argument");
}

// A current directory that the system cannot tell, or a path longer than the field, is not
// an error of the command line: dir stays empty, or holds the path cut to 128 characters.
void InitDir() {
  Os::GetCurrentDirectory(rec.dir, sizeof rec.dir);
}

// ---- Show and its steps ----

// Writes the record to the log, one line per field, echoed on the console when vrb is set.
void Show() {
  CHAR s[lineLen];
  SO::TBuffer b;
  SO::Init(b, s);
  auto Out = [&] {
    Log::Write(Cfg::midConfig, Log::lvlMsg, s, rec.vrb);
    SO::Clear(b);
  };
  auto ShowHdr = [&] {
    WrInfo(b);
    Out();
    SO::WrStr(b, "data:");
    Out();
  };
  auto Begin = [&](Text n) {
    SO::WrStr(b, "  ");
    SO::WrStrAdj(b, n, -3);
    SO::WrStr(b, " : ");
  };
  auto ShowStr = [&](Text n, Text v) {
    Begin(n);
    SO::WrChar(b, '\'');
    SO::WrStr(b, v);
    SO::WrChar(b, '\'');
    Out();
  };
  auto ShowCard = [&](Text n, CARD32 v) {
    Begin(n);
    SO::WrLngCard(b, v, 1);
    Out();
  };
  auto ShowIP = [&](Text n, CARD32 x) {
    Begin(n);
    Utils::WrIP(b, x);
    Out();
  };
  ShowHdr();
  ShowStr("prg", rec.prg);
  ShowCard("ver", rec.ver);
  ShowStr("ext", rec.ext);
  ShowStr("dir", rec.dir);
  ShowCard("dbg", rec.dbg ? 1 : 0);
  ShowCard("vrb", rec.vrb ? 1 : 0);
  ShowCard("dur", rec.dur);
  ShowIP("adr", rec.adr);
  ShowCard("prt", rec.prt);
}

void InitModule() {
  Log::Register(Cfg::midConfig, "Config");
  Lib2::Fill(rec, 0);
  SetStr(rec.prg, Cfg::prgName);
  rec.ver = Version::num;
  SetStr(rec.ext, Version::date);
  rec.dur = TOVREL_RUN_MS;
  rec.adr = Utils::IP(127, 0, 0, 1);
  rec.prt = 666;
  ParseArgs();
  InitDir();
  Show();
}

}  // namespace

const TDataDesc& data = rec;

void Start() {
  if (started) return;
  started = true;
  Log::Start();
  Version::Start();
  Cfg::Start();
  ConSigs::Start();
  Utils::Start();
  SO::Start();
  Args::Start();
  Lib3::Start();
  Lib2::Start();
  FIOStd::Start();
  Types::Start();
  Runtime::NoteStart("Config");
  InitModule();
}

}  // namespace Config
