// The two programs end to end: the real TovrelSnd and TovrelRcv, started in the test's own
// current directory and session directory, observed through their exit codes, standard output
// and error, log files and the shared objects.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "logs.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string rcvExe = TOVREL_RCV, sndExe = TOVREL_SND;
// Copies built with a run time of TOVREL_SHORT_RUN_MS.
const std::string rcvShort = TOVREL_RCV_SHORT, sndShort = TOVREL_SND_SHORT;

const std::string sigMsg = "ConSigs: Signal received, terminating.\r\n";

std::string SessionDir() {
  return getenv("XDG_RUNTIME_DIR");
}

// The text of a log line, behind its 40 columns of time, ticks, name and level.
std::string LineText(const std::string& line) {
  return line.size() >= 40 ? line.substr(40) : "";
}

using Logs::Attached;
using Logs::Has;
using Logs::LastRun;

// The log of a normal end: Mot's period count, then the log's own last line.
void ExpectOrderlyEnd(const std::vector<std::string>& l) {
  ASSERT_GE(l.size(), 2u);
  EXPECT_TRUE(
      std::regex_match(l[l.size() - 2], std::regex(R"(.{29}Mot      M DoneModule: [0-9]+)")))
      << l[l.size() - 2];
  EXPECT_EQ(l.back().substr(29), "Log      M DoneModule");
}

// Mot's count of periods in a run's log, and the ticks between its first and last line.
void PeriodsAndTicks(const std::vector<std::string>& l, unsigned long& periods,
                     unsigned long& ticks) {
  std::smatch m;
  const std::string& done = l[l.size() - 2];
  ASSERT_TRUE(std::regex_search(done, m, std::regex("DoneModule: ([0-9]+)$")));
  periods = std::stoul(m[1]);
  unsigned long init = 0;
  for (const std::string& s : l)
    if (LineText(s) == "InitModule: 0") init = std::stoul(s.substr(20, 8), nullptr, 16);
  ticks = std::stoul(done.substr(20, 8), nullptr, 16) - init;
}

TEST(Programs, SenderAndReceiverRunTogetherUntilCtrlC) {
  Child::Proc rcv = Child::Exec(rcvExe);
  ASSERT_TRUE(Attached("TovrelRcv.log")) << rcv.Err();
  Child::Proc snd = Child::Exec(sndExe);
  ASSERT_TRUE(Attached("TovrelSnd.log")) << snd.Err();
  std::this_thread::sleep_for(3s);
  snd.Signal(SIGINT);
  rcv.Signal(SIGINT);
  ASSERT_TRUE(snd.Wait());
  ASSERT_TRUE(rcv.Wait());

  for (Child::Proc* p : {&rcv, &snd}) {
    EXPECT_EQ(p->Code(), 255);
    EXPECT_EQ(p->Out(), sigMsg);
    EXPECT_EQ(p->Err(), "");
  }
  const std::vector<std::string> r = LastRun("TovrelRcv.log"), s = LastRun("TovrelSnd.log");
  EXPECT_FALSE(Has(r, "Check:")) << "the receiver found a torn block";
  ExpectOrderlyEnd(r);
  ExpectOrderlyEnd(s);
  EXPECT_TRUE(Has(r, "NewShm: CreateFileMapping succeeded, error code 0"));
  EXPECT_TRUE(Has(s, "NewShm: CreateFileMapping succeeded, error code 183"));

  // One period per millisecond: the count is close to the ticks that passed.
  for (const auto* l : {&r, &s}) {
    unsigned long periods = 0, ticks = 0;
    PeriodsAndTicks(*l, periods, ticks);
    EXPECT_GT(ticks, 3000u);
    // Tolerant: a loaded machine (or a sanitizer) delays some wake-ups.
    EXPECT_GT(periods, ticks * 7 / 10) << periods << " periods in " << ticks << " ms";
    EXPECT_LE(periods, ticks + 2);
  }
}

TEST(Programs, AShortRunEndsByItself) {
  Child::Proc rcv = Child::Exec(rcvShort);
  ASSERT_TRUE(Attached("TovrelRcv.log"));
  Child::Proc snd = Child::Exec(sndShort);
  for (Child::Proc* p : {&rcv, &snd}) {
    ASSERT_TRUE(p->Wait(20s));
    EXPECT_EQ(p->Code(), 255);
    EXPECT_EQ(p->Out(), "");
    EXPECT_EQ(p->Err(), "");
  }
  for (const char* log : {"TovrelRcv.log", "TovrelSnd.log"}) {
    const std::vector<std::string> l = LastRun(log);
    ExpectOrderlyEnd(l);
    unsigned long periods = 0, ticks = 0;
    PeriodsAndTicks(l, periods, ticks);
    EXPECT_GE(ticks, static_cast<unsigned long>(TOVREL_SHORT_RUN_MS)) << log;
    EXPECT_FALSE(Has(l, "Check:"));
  }
}

// Writes a block straight into the file of the Main mapping.
void WriteMain(const std::vector<unsigned char>& block) {
  const int fd = open((SessionDir() + "/Tovrel_Main_Buffer").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, block.data(), block.size(), 0), static_cast<ssize_t>(block.size()));
  close(fd);
}

TEST(Programs, TheReceiverReportsANonUniformBlock) {
  Child::Proc rcv = Child::Exec(rcvExe);
  ASSERT_TRUE(Attached("TovrelRcv.log"));
  std::vector<unsigned char> block(128, 0);
  block[0] = 1;
  WriteMain(block);
  ASSERT_TRUE(rcv.Wait());
  EXPECT_EQ(rcv.Code(), 255);

  std::string want = "Check: 1 128  01";
  for (int i = 1; i < 128; ++i) want += " 00";
  const std::vector<std::string> l = LastRun("TovrelRcv.log");
  ASSERT_GE(l.size(), 3u);
  const std::string& e = l[l.size() - 3];
  EXPECT_EQ(e.substr(29), "TovrelRc E " + want);
  EXPECT_EQ(rcv.Out(), e + "\r\n") << "the line is echoed as it stands in the log";
  ExpectOrderlyEnd(l);
}

TEST(Programs, ParticipantLimits) {
  struct Started {
    Child::Proc p;
    std::string dir;
  };
  // Each program in a directory of its own, so that each has its own log.
  auto Run = [](const std::string& exe, const std::string& name) {
    Started s;
    s.dir = (fs::current_path() / name).string();
    fs::create_directory(s.dir);
    s.p = Child::Exec(exe, {}, {.cwd = s.dir, .env = {}});
    return s;
  };
  Started rcv1 = Run(rcvExe, "rcv1");
  ASSERT_TRUE(Attached(rcv1.dir + "/TovrelRcv.log"));
  Started snd1 = Run(sndExe, "snd1");
  ASSERT_TRUE(Attached(snd1.dir + "/TovrelSnd.log"));

  const std::regex writers(R"(.{29}Tovrel   F IncCnt: Too many writers for buffer "Main"\.\r\n)");
  Started snd2 = Run(sndExe, "snd2");
  ASSERT_TRUE(snd2.p.Wait());
  EXPECT_EQ(snd2.p.Code(), 255);
  EXPECT_TRUE(std::regex_match(snd2.p.Out(), writers)) << snd2.p.Out();

  // The refused sender left the counts usable: a second receiver is admitted, a third is not.
  Started rcv2 = Run(rcvExe, "rcv2");
  ASSERT_TRUE(Attached(rcv2.dir + "/TovrelRcv.log")) << rcv2.p.Out();
  Started rcv3 = Run(rcvExe, "rcv3");
  ASSERT_TRUE(rcv3.p.Wait());
  EXPECT_EQ(rcv3.p.Code(), 255);
  EXPECT_TRUE(std::regex_match(
      rcv3.p.Out(),
      std::regex(R"(.{29}Tovrel   F IncCnt: Too many readers for buffer "Main"\.\r\n)")))
      << rcv3.p.Out();
  for (Started* s : {&rcv1, &snd1, &rcv2}) EXPECT_TRUE(s->p.Running());
  for (Started* s : {&rcv1, &snd1, &rcv2}) {
    s->p.Signal(SIGINT);
    ASSERT_TRUE(s->p.Wait());
    EXPECT_EQ(s->p.Code(), 255);
  }
  EXPECT_FALSE(Has(LastRun(rcv1.dir + "/TovrelRcv.log"), "Check:"));
  EXPECT_FALSE(Has(LastRun(rcv2.dir + "/TovrelRcv.log"), "Check:"));
}

TEST(Programs, TheSenderWritesUniformBlocksToTheStartOfMain) {
  Child::Proc snd = Child::Exec(sndShort);
  ASSERT_TRUE(snd.Wait(20s));
  EXPECT_EQ(snd.Code(), 255);
  const std::string main = Child::ReadFile(SessionDir() + "/Tovrel_Main_Buffer");
  ASSERT_EQ(main.size(), 512u);
  for (int i = 1; i < 128; ++i) ASSERT_EQ(main[i], main[0]) << i;
  for (int i = 128; i < 512; ++i) ASSERT_EQ(main[i], '\0') << i;
}

// The order in which the modules of each program do their start-up work.
TEST(Programs, ModulesStartOnceInImportOrder) {
  const std::vector<std::string> common = {"Types",  "SO",    "Utils", "Heap", "Mtxs",
                                           "Lib3",   "MMSys", "Tmr0",  "Tmr",  "Lib2",
                                           "FIOStd", "Cfg",   "Log"};
  struct {
    const char* exe;
    std::vector<std::string> rest;
  } programs[] = {
      {CONFIG_CHILD_RCV, {"Tovrel", "Mot", "Version", "ConSigs", "Args", "Config"}},
      {CONFIG_CHILD_SND, {"Version", "ConSigs", "Args", "Config", "Tovrel", "Mot"}},
  };
  for (const auto& p : programs) {
    Child::Proc c = Child::Exec(p.exe, {}, {.cwd = "", .env = {"TOVREL_START_ORDER=1"}});
    ASSERT_TRUE(c.Wait());
    EXPECT_EQ(c.Code(), 255);
    std::string want;
    for (const std::string& m : common) want += m + "\n";
    for (const std::string& m : p.rest) want += m + "\n";
    EXPECT_EQ(c.Out(), want) << p.exe;
  }
}

}  // namespace
