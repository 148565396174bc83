// Real faults, not injected: a log on the full device, a rotation whose target name is held by a
// directory, a current directory that the program may not write, and a session directory on a
// small file system that is full. Each ends with a clear report and its exit code; nothing
// hangs, and nothing raises SIGBUS.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Cfg.h"
#include "Lib3.h"
#include "Log.h"
#include "child.h"
#include "steps.h"

namespace {

namespace fs = std::filesystem;

// Makes the log's open file the full device, where every write fails with ENOSPC, as if the
// name had led there from the start.
void LogOnFullDevice() {
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec).filename() != "TovrelRcv.log") continue;
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    dup2(full, std::stoi(e.path().filename()));
    close(full);
    return;
  }
  std::abort();
}

// Starts the log, writes a line, and then: "mid" puts the log on the full device and writes a
// line; "shutdown" does so right before the halt, so that only the shutdown's lines fail.
CHILD_ROLE(FullLog) {
  Log::Start();
  Log::Write(Cfg::midLog, Log::lvlMsg, "running", false);
  LogOnFullDevice();
  if (args.at(0) == "mid") Log::Write(Cfg::midLog, Log::lvlMsg, "lost", false);
  Lib3::Halt();
}

const std::string writeFailed =
    "Run-time error: Log: write to \"TovrelRcv.log\" failed, error code " + std::to_string(ENOSPC) +
    "\r\n";

// A write that fails while the program runs is a run-time error; the shutdown that follows
// cannot write its lines either, and that second run-time error, during a halt, ends the
// process at once with 9. One that fails in the shutdown only ends it with 9 too.
TEST(RealFaults, ALogOnTheFullDeviceIsARunTimeErrorAndNothingHangs) {
  struct Case {
    const char* when;
    std::string err;
  } cases[] = {{"mid", writeFailed + writeFailed}, {"shutdown", writeFailed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    const std::string dir = Steps::Dir(c.when);
    auto p = Child::Start("FullLog", {c.when}, Child::Options{dir, {}});
    ASSERT_TRUE(p.Wait(std::chrono::seconds(10))) << "it hangs";
    EXPECT_EQ(p.Code(), 9);
    EXPECT_EQ(p.Err(), c.err);
    EXPECT_NE(Child::ReadFile(dir + "/TovrelRcv.log").find("Log      M running\r\n"),
              std::string::npos);
  }
}

// The oldest generation's name is held by a directory: the rotation cannot delete it, which is
// a run-time error at the first line that rotates; the directory and the current file stay.
TEST(RealFaults, ARotationTargetHeldByADirectoryIsARunTimeError) {
  fs::create_directory("TovrelRcv016.log");
  std::ofstream("TovrelRcv016.log/keep") << "x";
  std::ofstream("TovrelRcv.log") << "current";
  fs::resize_file("TovrelRcv.log", 134217728);
  auto p = Child::Start("FullLog", {"none"});
  ASSERT_TRUE(p.Wait(std::chrono::seconds(10)));
  EXPECT_EQ(p.Code(), 255);
  EXPECT_EQ(p.Err(), "Run-time error: Log: delete \"TovrelRcv016.log\" failed, error code " +
                         std::to_string(EISDIR) + "\r\n");
  EXPECT_TRUE(fs::exists("TovrelRcv016.log/keep"));
  EXPECT_EQ(fs::file_size("TovrelRcv.log"), 134217728u);
}

// Runs the program (the arguments) as user and group `uid`.
CHILD_ROLE(ExecAs) {
  const unsigned u = static_cast<unsigned>(std::stoul(args.at(0)));
  if (setgid(u) != 0 || setuid(u) != 0) return 2;
  std::vector<char*> v;
  for (size_t i = 1; i < args.size(); ++i) v.push_back(const_cast<char*>(args[i].c_str()));
  v.push_back(nullptr);
  execv(v[0], v.data());
  return 3;
}

// A directory under /tmp that the other user can enter (the test's own is closed to it).
struct OpenDir {
  std::string path;
  OpenDir() {
    char tmpl[] = "/tmp/tovrel-realfaults-XXXXXX";
    path = mkdtemp(tmpl);
    chmod(path.c_str(), 0755);
  }
  ~OpenDir() { fs::remove_all(path); }
};

// The programs keep their log in the current directory: one that they may not write ends them
// at start-up with a run-time error, before they make any object.
TEST(RealFaults, AReadOnlyCurrentDirectoryIsARunTimeErrorAtStartUp) {
  ASSERT_EQ(geteuid(), 0u) << "needs root to run the program as another user";
  OpenDir d;
  const std::string cwd = d.path + "/cwd", run = d.path + "/run";
  mkdir(cwd.c_str(), 0755);  // root's: the other user may read it, not write it
  mkdir(run.c_str(), 0700);
  ASSERT_EQ(chown(run.c_str(), 65534, 65534), 0);
  for (const char* prg : {TOVREL_RCV_SHORT, TOVREL_SND_SHORT}) {
    SCOPED_TRACE(prg);
    const std::string log = fs::path(prg).filename().string() + ".log";
    auto p =
        Child::Start("ExecAs", {"65534", prg}, Child::Options{cwd, {"XDG_RUNTIME_DIR=" + run}});
    ASSERT_TRUE(p.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(p.Code(), 255);
    EXPECT_EQ(p.Err(), "Run-time error: Log: create \"" + log + "\" failed, error code " +
                           std::to_string(EACCES) + "\r\n");
    EXPECT_TRUE(fs::is_empty(cwd));
    EXPECT_TRUE(fs::is_empty(run));
  }
}

// A small tmpfs, mounted for the test and unmounted at its end.
struct Tmpfs {
  std::string path;
  bool mounted = false;
  explicit Tmpfs(const std::string& p, const char* opts) : path(p) {
    mkdir(p.c_str(), 0700);
    mounted = mount("tovrel-test", p.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, opts) == 0;
  }
  ~Tmpfs() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
  }
};

// Fills the file system at dir but for `free` pages; false when it cannot.
bool FillBut(const std::string& dir, int free) {
  const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  if (fd < 0) return false;
  std::vector<char> page(4096, 'f');
  off_t n = 0;
  while (write(fd, page.data(), page.size()) == ssize_t(page.size())) n += 4096;
  const bool ok = errno == ENOSPC && n >= free * 4096 && ftruncate(fd, n - free * 4096) == 0;
  close(fd);
  return ok;
}

// The session directory on a tmpfs with room for 0 to 3 object files of one page: creating the
// first object that does not fit fails with ENOSPC at once (its pages are reserved when it is
// made), never with SIGBUS when the object is used later; with room for all four the
// participant works.
TEST(RealFaults, AFullSessionFileSystemFailsTheCreationNeverLater) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::string nospc = std::to_string(ENOSPC);
  const std::string texts[] = {
      "NewMtx: CreateMutex failed, error code " + nospc,
      "NewShm: CreateFileMapping failed, error code " + nospc,
      "NewMtx: CreateMutex failed, error code " + nospc,
      "NewShm: CreateFileMapping failed, error code " + nospc,
  };
  for (int free = 0; free <= 4; ++free) {
    SCOPED_TRACE(std::to_string(free) + " pages free");
    Tmpfs t(Steps::TestDir() + "/tiny" + std::to_string(free), "size=64k,mode=0700");
    if (!t.mounted) GTEST_SKIP() << "mount failed: " << std::strerror(errno);
    ASSERT_TRUE(FillBut(t.path, free));
    const std::string dir = Steps::Dir("p" + std::to_string(free));
    auto p =
        Steps::Run({"tovrel", "rdr", "main", "read", "128"}, dir, {"XDG_RUNTIME_DIR=" + t.path});
    ASSERT_TRUE(p.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(p.Signalled(), 0);
    if (free < 4) {
      EXPECT_EQ(p.Code(), 255);
      EXPECT_NE(p.Out().find("Tovrel   F " + texts[free] + "\r\n"), std::string::npos) << p.Out();
    } else {
      EXPECT_EQ(p.Code(), 0) << p.Out();
      EXPECT_EQ(p.Out(), "tovrel\nrdr\nread 128 " + std::string(256, '0') + "\n");
    }
    for (const auto& e : fs::directory_iterator(t.path))
      EXPECT_NE(e.path().filename().string()[0], '.') << "a temporary file was left";
  }
}

}  // namespace
