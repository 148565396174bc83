// Kill churn: rounds in which senders and receivers (the real programs, with the full and with
// the short run time) are started at random moments, some beyond the participant limits, and
// killed at random moments with SIGKILL, SIGINT, SIGTERM or SIGQUIT. Throughout, no process
// outlives its deadline, every line a process writes is one of the system's own texts (a
// receiver that met a torn block would say "Check: ..."), and an abandoned mutex is reported
// as such. Once every process of a round has ended, the next process creates the objects anew:
// code 0, counts 0, zeros, a free mutex. The logs of a round that breaks a promise are kept.
//
// TOVREL_CHURN_SECONDS sets the length of the soak (60 s by default), TOVREL_CHURN_SEED the
// seed of its random choices, TOVREL_CHURN_SAVE where failing rounds are kept
// (/tmp/tovrel-churn-failures by default).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "steps.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name, const std::string& otherwise) {
  const char* v = getenv(name);
  return v != nullptr && v[0] != '\0' ? v : otherwise;
}

// The system's own texts: what the programs write on their standard output when they are
// stopped by a console signal or refused, or find an abandoned mutex. Nothing goes to standard
// error.
bool OwnLine(const std::string& l) {
  static const std::regex fatal(
      R"(\d{8} \d{6}\.\d{3} [0-9A-F]{8} Tovrel   F (IncCnt: Too many (readers|writers) for buffer "Main"\.|Enter: WaitForSingleObject returned 128))");
  return l == "ConSigs: Signal received, terminating." || std::regex_match(l, fatal);
}

// How often each text was seen, and how the participants ended, for the soak's summary.
std::map<std::string, int> seen;

struct Participant {
  std::string dir, what;
  Child::Proc p;
  Clock::time_point deadline;
  int sig = 0;  // the signal sent, if any
};

class Round {
 public:
  Round(int n, std::mt19937& rng) : dir_(Steps::Dir("round" + std::to_string(n))), rng_(rng) {}

  // Starts a participant: a sender or a receiver, with the short or the full run time.
  void Start() {
    const bool snd = Pick(3) == 0, shortRun = Pick(2) == 0;
    const std::string exe = snd ? (shortRun ? TOVREL_SND_SHORT : TOVREL_SND)
                                : (shortRun ? TOVREL_RCV_SHORT : TOVREL_RCV);
    Participant q;
    q.dir = dir_ + "/p" + std::to_string(ps_.size());
    fs::create_directory(q.dir);
    q.what = std::string(snd ? "sender" : "receiver") + (shortRun ? " short" : "");
    q.p = Child::Exec(exe, {}, Child::Options{q.dir, {}});
    // The short run time is 2 s; under the sanitizers start-up and shutdown take a while too.
    q.deadline = shortRun ? Clock::now() + 2s + 20s : Clock::time_point::max();
    ps_.push_back(std::move(q));
  }

  // Sends a random console signal or SIGKILL to a running participant.
  void KillOne() {
    std::vector<Participant*> live;
    for (auto& q : ps_)
      if (q.sig == 0 && q.p.Running()) live.push_back(&q);
    if (live.empty()) return;
    static constexpr int sigs[] = {SIGKILL, SIGINT, SIGTERM, SIGQUIT};
    Participant& q = *live[Pick(live.size())];
    Send(q, sigs[Pick(4)]);
  }

  // Ends the round: SIGTERM for whoever still runs, then waits for everybody. Empty when every
  // promise was kept; otherwise what was broken.
  std::string End() {
    for (auto& q : ps_)
      if (q.sig == 0 && q.p.Running()) Send(q, SIGTERM);
    std::string broken;
    for (auto& q : ps_) broken += Check(q);
    if (broken.empty()) broken = Fresh();
    return broken;
  }

  size_t Running() {
    size_t n = 0;
    for (auto& q : ps_) n += q.p.Running();
    return n;
  }

  // Keeps the round's directories and every participant's output under to.
  void Save(const std::string& to) {
    fs::create_directories(to);
    fs::copy(dir_, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    for (size_t i = 0; i < ps_.size(); ++i) {
      const std::string d = to + "/p" + std::to_string(i);
      std::ofstream(d + "/stdout") << ps_[i].p.Out();
      std::ofstream(d + "/stderr") << ps_[i].p.Err();
      std::ofstream(d + "/what") << ps_[i].what << " signal " << ps_[i].sig << "\n";
    }
  }

 private:
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  void Send(Participant& q, int sig) {
    q.sig = sig;
    q.p.Signal(sig);
    q.deadline = std::min(q.deadline, Clock::now() + 20s);
  }

  std::string Check(Participant& q) {
    const std::string who = q.dir + " (" + q.what + ", signal " + std::to_string(q.sig) + "): ";
    const auto left = q.deadline - Clock::now();
    if (!q.p.Wait(std::max<std::chrono::milliseconds>(
            std::chrono::duration_cast<std::chrono::milliseconds>(left), 1ms)))
      return who + "outlived its deadline\n";
    std::string broken;
    ++seen[q.p.Signalled() != 0 ? "ended by signal " + std::to_string(q.p.Signalled())
                                : "exit code " + std::to_string(q.p.Code())];
    // Ended by itself (255), by the signal sent before the handler was installed, or with 9:
    // a signal that arrives while the program's own shutdown runs (its run time is over, or
    // it was refused) ends it at once with 9.
    if (!(q.p.Code() == 255 || (q.sig != 0 && q.p.Signalled() == q.sig) ||
          (q.sig != 0 && q.p.Code() == 9)))
      broken += who + "ended with code " + std::to_string(q.p.Code()) + ", signal " +
                std::to_string(q.p.Signalled()) + "\n";
    if (!q.p.Err().empty()) broken += who + "wrote on standard error: " + q.p.Err() + "\n";
    const std::string out = q.p.Out();
    for (size_t i = 0, j; i < out.size(); i = j + 2) {
      j = out.find("\r\n", i);
      if (j == std::string::npos) {
        broken += who + "a line without its end: " + out.substr(i) + "\n";
        break;
      }
      const std::string l = out.substr(i, j - i);
      if (!OwnLine(l)) broken += who + "a line of nobody's: " + l + "\n";
      ++seen[l.size() > 40 && l[0] != 'C' ? l.substr(40) : l];
    }
    return broken;
  }

  // After every participant has ended, the objects are new to the next process.
  std::string Fresh() {
    auto c = Steps::Run({"mtx",
                         "Local\\Tovrel_Counts_Mutex",
                         "try",
                         "rel",
                         "shm",
                         "Local\\Tovrel_Counts_Buffer",
                         "16",
                         "view",
                         "16",
                         "peek",
                         "16",
                         "mtx",
                         "Local\\Tovrel_Main_Mutex",
                         "try",
                         "rel",
                         "shm",
                         "Local\\Tovrel_Main_Buffer",
                         "512",
                         "view",
                         "512",
                         "peek",
                         "512"},
                        dir_);
    if (!c.Wait(20s)) return "the check of the objects hangs\n";
    const std::string want = "mtx 0\ntry 0\nrel\nshm 0\nview\npeek " + std::string(32, '0') +
                             "\nmtx 0\ntry 0\nrel\nshm 0\nview\npeek " + std::string(1024, '0') +
                             "\n";
    return c.Out() == want ? "" : "the objects after the round: " + c.Out() + c.Err() + "\n";
  }

  std::string dir_;
  std::mt19937& rng_;
  std::vector<Participant> ps_;
};

TEST(Churn, StartsAndKillsInAnyOrderKeepEveryPromise) {
  const auto seconds = std::stoi(Env("TOVREL_CHURN_SECONDS", "60"));
  const auto seed = static_cast<unsigned>(
      std::stoul(Env("TOVREL_CHURN_SEED", std::to_string(std::random_device{}()))));
  const std::string save = Env("TOVREL_CHURN_SAVE", "/tmp/tovrel-churn-failures");
  std::mt19937 rng(seed);
  RecordProperty("seed", std::to_string(seed));
  std::cout << "churn: seed " << seed << ", " << seconds << " s\n";
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  int rounds = 0, starts = 0;
  while (Clock::now() < end) {
    Round r(rounds, rng);
    const auto roundEnd = std::min(end, Clock::now() + 4s);
    while (Clock::now() < roundEnd) {
      const int act = std::uniform_int_distribution<int>(0, 9)(rng);
      if (act < 4 && r.Running() < 6) {
        r.Start();
        ++starts;
      } else if (act < 7) {
        r.KillOne();
      }
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::uniform_int_distribution<int>(10, 300)(rng)));
    }
    const std::string broken = r.End();
    if (!broken.empty()) {
      const std::string to =
          save + "/seed" + std::to_string(seed) + "-round" + std::to_string(rounds);
      r.Save(to);
      FAIL() << "round " << rounds << " (seed " << seed << ", logs kept in " << to << "):\n"
             << broken;
    }
    ++rounds;
  }
  std::cout << "churn: " << rounds << " rounds, " << starts << " participants\n";
  for (const auto& [text, n] : seen) std::cout << "  " << n << " x " << text << "\n";
  EXPECT_GT(rounds, 0);
}

}  // namespace
