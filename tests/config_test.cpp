// The configuration of both programs: help, command-line errors and the dump of the record,
// each observed on a child process that runs the program's start-up up to Config (exit code,
// standard output and error, the log file in its current directory).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Config.h"
#include "child.h"
#include "os/os.h"

namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

struct Program {
  std::string name;  // also the name of its log file, <name>.log
  std::string exe;   // the child role built against its modules
  std::string info;  // the one-line description
};

const Program rcv = {"TovrelRcv", CONFIG_CHILD_RCV,
                     "TovrelRcv v4 (2020-04-10): Shared memory receiver."};
const Program snd = {"TovrelSnd", CONFIG_CHILD_SND,
                     "TovrelSnd v4 (2020-04-10): Shared memory sender."};
const Program* const programs[] = {&rcv, &snd};

struct ChildRun {
  int code = -1;
  std::string out, err;
  fs::path dir;                  // the child's current directory
  std::vector<std::string> log;  // the lines of its log file, without their CR LF
  bool logEndsInCrLf = false;
};

// Starts the program's child role with the arguments in a fresh current directory below the
// test's own, and waits for it to end.
ChildRun Start(const Program& p, const Words& args) {
  static int n = 0;
  ChildRun r;
  r.dir = fs::current_path() / ("run" + std::to_string(++n));
  fs::create_directory(r.dir);
  Child::Proc c = Child::Exec(p.exe, args, {.cwd = r.dir.string(), .env = {}});
  EXPECT_TRUE(c.Wait()) << "the child ends by itself";
  r.code = c.Code();
  r.out = c.Out();
  r.err = c.Err();

  const std::string log = Child::ReadFile((r.dir / (p.name + ".log")).string());
  r.logEndsInCrLf = log.size() >= 2 && log.compare(log.size() - 2, 2, "\r\n") == 0;
  for (std::size_t i = 0; i < log.size();) {
    const std::size_t j = log.find("\r\n", i);
    if (j == std::string::npos) {
      r.log.push_back(log.substr(i));
      break;
    }
    r.log.push_back(log.substr(i, j - i));
    i = j + 2;
  }
  return r;
}

// The texts of the log lines that Config wrote: name column "Config", level M, text from
// column 40.
std::vector<std::string> ConfigLines(const std::vector<std::string>& lines) {
  std::vector<std::string> v;
  for (const std::string& l : lines)
    if (l.size() >= 40 && l.compare(29, 11, "Config   M ") == 0) v.push_back(l.substr(40));
  return v;
}

// The log shows that Config started (its registration) and wrote no line of its own.
void ExpectNoDump(const ChildRun& r) {
  bool registered = false;
  for (const std::string& l : r.log)
    if (l.find("Register:  4 \"Config\"") != std::string::npos) registered = true;
  EXPECT_TRUE(registered) << "Config registered with the log";
  EXPECT_EQ(ConfigLines(r.log), std::vector<std::string>{}) << "no dump";
  EXPECT_TRUE(r.logEndsInCrLf);
}

// The eleven dump lines for the record, with the defaults where the arguments are silent.
struct Fields {
  std::string dbg = "0", vrb = "0", adr = "127.0.0.1", prt = "666";
};

std::vector<std::string> Dump(const Program& p, const fs::path& dir, const Fields& f) {
  return {p.info,
          "data:",
          "  prg : '" + p.name + "'",
          "  ver : 4",
          "  ext : '2020-04-10'",
          "  dir : '" + dir.string() + "'",
          "  dbg : " + f.dbg,
          "  vrb : " + f.vrb,
          "  dur : " + std::to_string(TOVREL_RUN_MS),
          "  adr : " + f.adr,
          "  prt : " + f.prt};
}

std::string Join(const Words& w) {
  std::string s;
  for (const std::string& a : w) s += "[" + a + "]";
  return s;
}

TEST(Config, HelpInEverySpelling) {
  const Words cases[] = {{"-h"},       {"-?"},        {"/h"},       {"/?"},
                         {"-h", "-x"}, {"-h", "foo"}, {"-d", "/h"}, {"-a", "1.2.3.4", "-?", "-p"}};
  for (const Program* p : programs) {
    const std::string help = "(* " + p->info + " *)\r\n" +                    //
                             "syntax = '" + p->name + "' { option } .\r\n" +  //
                             "option = '-h'      (* show this info and exit *)\r\n"
                             "       | '-a' adr  (* set remote IP address *)\r\n"
                             "       | '-p' prt  (* set remote UDP port *)\r\n"
                             "       | '-d'      (* show debug messages *)\r\n"
                             "       | '-v'      (* be verbose *) .\r\n";
    for (const Words& args : cases) {
      SCOPED_TRACE(p->name + " " + Join(args));
      const ChildRun r = Start(*p, args);
      EXPECT_EQ(r.code, 0);
      EXPECT_EQ(r.out, help);
      EXPECT_EQ(r.err, "");
      ExpectNoDump(r);
    }
  }
}

TEST(Config, CommandLineErrors) {
  struct Case {
    Words args;
    std::string text;  // the message behind "<name>.Config.ParseArgs.Error: "
  };
  const Case cases[] = {
      {{"-x"}, "Invalid option: 'x'"},
      {{"/x"}, "Invalid option: 'x'"},
      {{"-H"}, "Invalid option: 'H'"},
      {{"-dv"}, "Invalid option: 'dv'"},
      {{"--v"}, "Invalid option: '-v'"},
      {{"-x", "-h"}, "Invalid option: 'x'"},
      {{"-d", "-v", "-q"}, "Invalid option: 'q'"},
      {{"foo"}, "Unexpected argument: 'foo'"},
      {{"foo", "-h"}, "Unexpected argument: 'foo'"},
      {{"-d", "bar"}, "Unexpected argument: 'bar'"},
      {{"-p", "80", "81"}, "Unexpected argument: '81'"},
      {{"-"}, "Unexpected argument"},
      {{"/"}, "Unexpected argument"},
      {{""}, "Unexpected argument"},
      {{"-a"}, "Invalid IP address"},
      {{"-a", "-v"}, "Invalid IP address: 'v'"},
      {{"-a", "-"}, "Invalid IP address"},
      {{"-a", "1.2.3"}, "Invalid IP address: '1.2.3'"},
      {{"-a", "256.0.0.1"}, "Invalid IP address: '256.0.0.1'"},
      {{"-a", "1.2.3.4 "}, "Invalid IP address: '1.2.3.4 '"},
      {{"-a", "0000000000000000256.1.1.1"}, "Invalid IP address: '0000000000000000256.1.1.1'"},
      {{"-p"}, "Invalid port number"},
      {{"-p", "-1"}, "Invalid port number: '1'"},
      {{"-p", "/"}, "Invalid port number"},
      {{"-p", ""}, "Invalid port number"},
      {{"-p", "8o"}, "Invalid port number: '8o'"},
      {{"-p", "-80"}, "Invalid port number: '80'"},
      {{"-p", "4294967296"}, "Invalid port number: '4294967296'"},
      {{"-p", "65536"}, "Port number out of range: '65536'"},
      {{"-p", "4294967295"}, "Port number out of range: '4294967295'"},
      {{"-p", "80", "-a", "x"}, "Invalid IP address: 'x'"},
  };
  for (const Program* p : programs) {
    for (const Case& c : cases) {
      SCOPED_TRACE(p->name + " " + Join(c.args));
      const ChildRun r = Start(*p, c.args);
      EXPECT_EQ(r.code, 255);
      EXPECT_EQ(r.err, p->name + ".Config.ParseArgs.Error: " + c.text + "\r\nTry '" + p->name +
                           " -h' for help.\r\n");
      EXPECT_EQ(r.out, "");
      ExpectNoDump(r);
      for (const std::string& l : r.log)
        EXPECT_EQ(l.find("ParseArgs"), std::string::npos) << "the message stays out of the log";
    }
  }
}

// The message is built in 128 characters: a long argument pushes out the closing quote and the
// second line, and the line end of the standard error output still follows.
TEST(Config, ALongArgumentCutsTheMessage) {
  for (const Program* p : programs) {
    SCOPED_TRACE(p->name);
    const ChildRun r = Start(*p, {"-" + std::string(200, 'x')});
    EXPECT_EQ(r.code, 255);
    const std::string head = p->name + ".Config.ParseArgs.Error: Invalid option: '";
    EXPECT_EQ(r.err, head + std::string(128 - head.size(), 'x') + "\r\n");
    ExpectNoDump(r);
  }
}

TEST(Config, ValidOptionsInTheDump) {
  struct Case {
    Words args;
    Fields f;
  };
  const Case cases[] = {
      {{}, {}},
      {{"-d"}, {.dbg = "1"}},
      {{"-d", "/d"}, {.dbg = "1"}},
      {{"-a", "10.1.2.3", "-p", "5000"}, {.adr = "10.1.2.3", .prt = "5000"}},
      {{"/a", "10.1.2.3", "/p", "5000"}, {.adr = "10.1.2.3", .prt = "5000"}},
      {{"-a", "1.2.3.4", "-a", "5.6.7.8"}, {.adr = "5.6.7.8"}},
      {{"-a", "1.2.3.4.5"}, {.adr = "1.2.3.4"}},
      {{"-a", "+010.0.0.1"}, {.adr = "10.0.0.1"}},
      {{"-a", "00000000000000001.2.3.4"}, {.adr = "1.2.3.4"}},
      {{"-p", "80", "-p", "81"}, {.prt = "81"}},
      {{"-p", "65535"}, {.prt = "65535"}},
      {{"-p", "0"}, {.prt = "0"}},
      {{"-p", "+80"}, {.prt = "80"}},
      {{"-p", "0080"}, {.prt = "80"}},
      {{"-d", "-p", "7", "-a", "0.0.0.0"}, {.dbg = "1", .adr = "0.0.0.0", .prt = "7"}},
  };
  for (const Program* p : programs) {
    for (const Case& c : cases) {
      SCOPED_TRACE(p->name + " " + Join(c.args));
      const ChildRun r = Start(*p, c.args);
      EXPECT_EQ(r.code, 255) << "the child halts after its start-up";
      EXPECT_EQ(ConfigLines(r.log), Dump(*p, r.dir, c.f));
      EXPECT_EQ(r.out, "") << "nothing of Config reaches the console";
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(r.logEndsInCrLf);
    }
  }
}

// -v echoes every dump line on standard output, exactly as the log file holds it.
TEST(Config, VerboseEchoesTheDump) {
  for (const Program* p : programs) {
    for (const Words& args : {Words{"-v"}, Words{"/v", "-d", "-v"}}) {
      SCOPED_TRACE(p->name + " " + Join(args));
      const ChildRun r = Start(*p, args);
      EXPECT_EQ(r.code, 255);
      Fields f;
      f.vrb = "1";
      if (args.size() > 1) f.dbg = "1";
      EXPECT_EQ(ConfigLines(r.log), Dump(*p, r.dir, f));
      std::string echo;
      for (const std::string& l : r.log)
        if (l.size() >= 40 && l.compare(29, 8, "Config  ") == 0) echo += l + "\r\n";
      EXPECT_EQ(r.out, echo);
      EXPECT_EQ(r.err, "");
    }
  }
}

// A current directory longer than the record's 128 characters is kept cut at 128; its dump
// line is cut at the line's 128 characters.
TEST(Config, ALongCurrentDirectoryIsCut) {
  fs::path deep = fs::current_path();
  while (deep.string().size() <= 200) deep /= std::string(30, 'd');
  fs::create_directories(deep);
  fs::current_path(deep);
  const ChildRun r = Start(rcv, {});
  const std::vector<std::string> lines = ConfigLines(r.log);
  ASSERT_EQ(lines.size(), 11u);
  const std::string head = "  dir : '";
  EXPECT_EQ(lines[5], head + r.dir.string().substr(0, 128 - head.size()));
  EXPECT_EQ(lines[6], "  dbg : 0") << "the lines after it are whole";
}

// In-process: Config.data, as other modules read it, holds the defaults and the options.
TEST(Config, DataHoldsTheRecord) {
  const CHAR* argv[] = {"TovrelRcv", "-a", "10.1.2.3", "-p", "5000", "-d"};
  Os::SetArgs(6, argv);
  Config::Start();
  const Config::TDataDesc& d = Config::data;
  EXPECT_STREQ(d.prg, "TovrelRcv");
  EXPECT_EQ(d.ver, 4u);
  EXPECT_STREQ(d.ext, "2020-04-10");
  EXPECT_EQ(std::string(d.dir), fs::current_path().string());
  EXPECT_TRUE(d.dbg);
  EXPECT_FALSE(d.vrb);
  EXPECT_EQ(d.dur, static_cast<CARD32>(TOVREL_RUN_MS));
  EXPECT_EQ(d.adr, 0x0302010Au);
  EXPECT_EQ(d.prt, 5000u);
  const CHAR* empty[] = {"TovrelRcv"};
  Os::SetArgs(1, empty);
  Config::Start();
  EXPECT_TRUE(Config::data.dbg) << "the start-up runs once";
}

}  // namespace
