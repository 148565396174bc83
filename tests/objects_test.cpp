// The named objects of the platform layer: file mappings and mutexes, created by whoever asks
// first and opened by everyone later, alive while some process holds them. The other processes
// are real ones (the "steps" child role); each test has a session directory of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "os_fault.h"
#include "steps.h"

namespace {

namespace fs = std::filesystem;
using Steps::Go;
using Steps::SessionDir;

// The names in a directory, the layer's temporary files included.
std::vector<std::string> Files(const std::string& dir = SessionDir()) {
  std::vector<std::string> v;
  for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename());
  std::sort(v.begin(), v.end());
  return v;
}

std::string Hex(const BYTE* p, size_t n) {
  std::string s;
  char h[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(h, sizeof h, "%02X", p[i]);
    s += h;
  }
  return s;
}

std::string Rep(const std::string& s, int n) {
  std::string r;
  while (n-- > 0) r += s;
  return r;
}

// ---- Created, opened, shared --------------------------------------------------------------------

TEST(Objects, FirstCreatesWithCode0LaterOpensWith183) {
  ASSERT_NE(Os::CreateFileMappingA("Local\\T_Buffer", 64), nullptr);
  EXPECT_EQ(Os::GetLastError(), 0u);
  ASSERT_NE(Os::CreateMutexA("Local\\T_Mutex"), nullptr);
  EXPECT_EQ(Os::GetLastError(), 0u);
  // A second open in the same process, and opens in another process, find the same objects.
  ASSERT_NE(Os::CreateFileMappingA("Local\\T_Buffer", 64), nullptr);
  EXPECT_EQ(Os::GetLastError(), Os::errAlreadyExists);
  ASSERT_NE(Os::CreateMutexA("Local\\T_Mutex"), nullptr);
  EXPECT_EQ(Os::GetLastError(), Os::errAlreadyExists);
  auto c = Steps::Run({"shm", "Local\\T_Buffer", "64", "mtx", "Local\\T_Mutex"});
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.Out(), "shm 183\nmtx 183\n");
  // "Local\" names are files of the session directory; a mapping's holds its bare bytes.
  EXPECT_EQ(Files(), (std::vector<std::string>{"T_Buffer", "T_Mutex"}));
  EXPECT_EQ(fs::file_size(SessionDir() + "/T_Buffer"), 64u);
}

TEST(Objects, BothProcessesSeeTheSameBytesStartingAtZero) {
  Os::Handle m = Os::CreateFileMappingA("Local\\T_Buffer", 4096);
  ASSERT_NE(m, nullptr);
  BYTE* a = static_cast<BYTE*>(Os::MapViewOfFile(m, 4096));
  ASSERT_NE(a, nullptr);
  const std::vector<BYTE> zero(4096, 0);
  EXPECT_EQ(std::memcmp(a, zero.data(), 4096), 0);
  std::memset(a, 0xA5, 8);
  a[4095] = 0x3C;
  auto c = Steps::Run({"shm", "Local\\T_Buffer", "4096", "view", "4096", "peek", "9", "poke",
                       "0x5A", "4", "hold", "end"});
  ASSERT_TRUE(c.WaitForOut("hold end\n"));
  EXPECT_EQ(c.Out(), "shm 183\nview\npeek " + Rep("A5", 8) + "00\npoke\nhold end\n");
  EXPECT_EQ(Hex(a, 9), Rep("5A", 4) + Rep("A5", 4) + "00");
  EXPECT_EQ(a[4095], 0x3C);
  Go("end");
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.Code(), 0);
}

// Racing creators: exactly one of them creates, every other one opens the same object.
TEST(Objects, OfManyRacingProcessesExactlyOneCreates) {
  constexpr int n = 6;
  std::vector<Child::Proc> cs;
  for (int i = 0; i < n; ++i)
    cs.push_back(
        Steps::Run({"hold", "go", "shm", "Local\\T_Race", "16", "view", "16", "poke",
                    std::to_string(i + 1), "1", "mtx", "Local\\T_RaceMutex", "hold", "end"}));
  for (auto& c : cs) ASSERT_TRUE(c.WaitForOut("hold go\n"));
  Go("go");
  int created = 0;
  for (auto& c : cs) {
    ASSERT_TRUE(c.WaitForOut("hold end\n"));
    const std::string o = c.Out();
    const bool shm0 = o.find("shm 0\n") != std::string::npos;
    const bool mtx0 = o.find("mtx 0\n") != std::string::npos;
    EXPECT_EQ(o, std::string("hold go\n") + (shm0 ? "shm 0\n" : "shm 183\n") + "view\npoke\n" +
                     (mtx0 ? "mtx 0\n" : "mtx 183\n") + "hold end\n");
    created += shm0 + 10 * mtx0;
  }
  EXPECT_EQ(created, 11) << "one creator of the mapping, one of the mutex";
  // All wrote into one object, and it is the only file there.
  Os::Handle m = Os::CreateFileMappingA("Local\\T_Race", 16);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(Os::GetLastError(), Os::errAlreadyExists);
  const BYTE v = *static_cast<BYTE*>(Os::MapViewOfFile(m, 16));
  EXPECT_TRUE(v >= 1 && v <= n) << int(v);
  EXPECT_EQ(Files(), (std::vector<std::string>{"T_Race", "T_RaceMutex"}));
  Go("end");
}

// ---- Lifetime -----------------------------------------------------------------------------------

// After the last holder has ended, normally or killed while it owned the mutex, the next process
// creates the objects anew: code 0, zero bytes, a free mutex, the size it asks for now.
TEST(Objects, NewAgainAfterEveryHolderEnded) {
  for (const bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "killed" : "ended");
    Child::Args steps = {"shm", "Local\\T_Buffer", "16",   "view", "16", "poke", "0x77", "16",
                         "mtx", "Local\\T_Mutex",  "wait", "wait"};
    if (kill) steps.push_back("kill");
    auto a = Steps::Run(steps);
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.Out(), "shm 0\nview\npoke\nmtx 0\nwait 0\nwait 0\n");  // owned twice, kept
    EXPECT_EQ(a.Signalled(), kill ? SIGKILL : 0);
    auto b = Steps::Run({"shm", "Local\\T_Buffer", "64", "view", "64", "peek", "64", "mtx",
                         "Local\\T_Mutex", "try"});
    ASSERT_TRUE(b.Wait());
    EXPECT_EQ(b.Out(), "shm 0\nview\npeek " + Rep("00", 64) + "\nmtx 0\ntry 0\n");
  }
}

// A live holder keeps the object, even when it is not its creator.
TEST(Objects, AnyLiveHolderKeepsTheObject) {
  auto a =
      Steps::Run({"shm", "Local\\T_Buffer", "16", "view", "16", "poke", "9", "16", "hold", "a"});
  ASSERT_TRUE(a.WaitForOut("hold a\n"));
  auto b = Steps::Run({"shm", "Local\\T_Buffer", "16", "hold", "b"});
  ASSERT_TRUE(b.WaitForOut("hold b\n"));
  EXPECT_EQ(b.Out(), "shm 183\nhold b\n");
  Go("a");
  ASSERT_TRUE(a.Wait());
  auto c = Steps::Run({"shm", "Local\\T_Buffer", "16", "view", "16", "peek", "2"});
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.Out(), "shm 183\nview\npeek 0909\n");
  Go("b");
}

// The object's descriptors do not pass to a program that a holder starts.
TEST(Objects, DescriptorsAreCloseOnExec) {
  ASSERT_NE(Os::CreateFileMappingA("Local\\T_Buffer", 16), nullptr);
  ASSERT_NE(Os::CreateMutexA("Local\\T_Mutex"), nullptr);
  int seen = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(e.path(), ec);
    if (ec || target.parent_path() != fs::path(SessionDir())) continue;
    std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
    std::string key, flags;
    while (info >> key >> flags && key != "flags:") {
    }
    EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u) << target;
    ++seen;
  }
  EXPECT_EQ(seen, 2);
}

// ---- Mappings -----------------------------------------------------------------------------------

TEST(Objects, AMappingKeepsItsCreatorsSizeAndRefusesALargerView) {
  Os::Handle m = Os::CreateFileMappingA("Local\\T_Buffer", 100);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(Os::MapViewOfFile(m, 101), nullptr);
  EXPECT_EQ(Os::GetLastError(), unsigned(EOVERFLOW));
  auto c = Steps::Run({"shm", "Local\\T_Buffer", "4096", "view", "4096", "view", "100", "view", "0",
                       "peek", "100"});
  ASSERT_TRUE(c.Wait());
  // Size 0 views the whole mapping.
  EXPECT_EQ(c.Out(), "shm 183\nview! " + std::to_string(EOVERFLOW) + "\nview\nview\npeek " +
                         Rep("00", 100) + "\n");
  EXPECT_EQ(fs::file_size(SessionDir() + "/T_Buffer"), 100u);
}

TEST(Objects, HandlesOfTheWrongKindFail) {
  EXPECT_EQ(Os::CreateFileMappingA("Local\\T_Buffer", 0), nullptr);
  EXPECT_EQ(Os::GetLastError(), unsigned(EINVAL));
  EXPECT_EQ(Os::MapViewOfFile(nullptr, 16), nullptr);
  Os::Handle mtx = Os::CreateMutexA("Local\\T_Mutex");
  ASSERT_NE(mtx, nullptr);
  EXPECT_EQ(Os::MapViewOfFile(mtx, 16), nullptr);
  Os::Handle shm = Os::CreateFileMappingA("Local\\T_Buffer", 16);
  ASSERT_NE(shm, nullptr);
  EXPECT_EQ(Os::WaitForSingleObject(shm, 0), Os::waitFailed);
  EXPECT_FALSE(Os::ReleaseMutex(shm));
}

// Pages are reserved when the object is made: a full file system fails the creation instead of
// raising SIGBUS later, and the failed creation leaves nothing alive and no temporary file.
int NoSpace(int, off_t, off_t) {
  return ENOSPC;
}
TEST(Objects, AFailedCreationLeavesNothingBehind) {
  {
    OsFault::Guard g;
    OsFault::Sys().posix_fallocate = NoSpace;
    EXPECT_EQ(Os::CreateFileMappingA("Local\\T_Buffer", 1 << 20), nullptr);
    EXPECT_EQ(Os::GetLastError(), unsigned(ENOSPC));
    EXPECT_EQ(Os::CreateMutexA("Local\\T_Mutex"), nullptr);
    EXPECT_EQ(Os::GetLastError(), unsigned(ENOSPC));
  }
  for (const auto& f : Files()) EXPECT_NE(f[0], '.') << f;
  ASSERT_NE(Os::CreateFileMappingA("Local\\T_Buffer", 1 << 20), nullptr);
  EXPECT_EQ(Os::GetLastError(), 0u);
  ASSERT_NE(Os::CreateMutexA("Local\\T_Mutex"), nullptr);
  EXPECT_EQ(Os::GetLastError(), 0u);
  EXPECT_EQ(fs::file_size(SessionDir() + "/T_Buffer"), 1u << 20);
}

// ---- Mutexes ------------------------------------------------------------------------------------

// An owner that dies makes the mutex abandoned: the next waiter owns it and is told 128, and
// when that one dies owning it too, the one after is told 128 again. The test process holds
// the mutex throughout, so that it stays the same object.
TEST(Objects, ADeadOwnerAbandonsTheMutexForEachNextWaiter) {
  Os::Handle m = Os::CreateMutexA("Local\\T_Mutex");
  ASSERT_NE(m, nullptr);
  auto a = Steps::Run({"mtx", "Local\\T_Mutex", "wait", "wait", "kill"});
  ASSERT_TRUE(a.Wait());
  EXPECT_EQ(a.Out(), "mtx 183\nwait 0\nwait 0\n");
  auto b = Steps::Run({"mtx", "Local\\T_Mutex", "wait", "kill"});
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(b.Out(), "mtx 183\nwait 128\n");
  // Owned again by the same thread, re-entrant; given back as often as owned, and no more.
  auto c = Steps::Run({"mtx", "Local\\T_Mutex", "wait", "wait", "rel", "rel", "rel"});
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.Out(), "mtx 183\nwait 128\nwait 0\nrel\nrel\nrel! 288\n");
  // Given back properly: free, and no longer abandoned.
  EXPECT_EQ(Os::WaitForSingleObject(m, Os::infinite), Os::waitObject0);
  EXPECT_TRUE(Os::ReleaseMutex(m));
}

// Ownership belongs to a thread: a thread that ends owning the mutex abandons it too.
TEST(Objects, AThreadThatEndsOwningTheMutexAbandonsIt) {
  Os::Handle m = Os::CreateMutexA("Local\\T_Mutex");
  ASSERT_NE(m, nullptr);
  CARD32 got = 1;
  std::thread t([&] { got = Os::WaitForSingleObject(m, Os::infinite); });
  t.join();
  EXPECT_EQ(got, Os::waitObject0);
  EXPECT_EQ(Os::WaitForSingleObject(m, Os::infinite), Os::waitAbandoned);
  EXPECT_TRUE(Os::ReleaseMutex(m));
  EXPECT_EQ(Os::WaitForSingleObject(m, Os::infinite), Os::waitObject0);
  EXPECT_TRUE(Os::ReleaseMutex(m));
}

// Releasing a mutex that the calling thread does not own fails with ERROR_NOT_OWNER and leaves
// the mutex as it was: free stays free, owned by another process stays owned by it.
TEST(Objects, ReleaseByANonOwnerFailsAndChangesNothing) {
  Os::Handle m = Os::CreateMutexA("Local\\T_Mutex");
  ASSERT_NE(m, nullptr);
  EXPECT_FALSE(Os::ReleaseMutex(m));
  EXPECT_EQ(Os::GetLastError(), Os::errNotOwner);
  EXPECT_EQ(Os::WaitForSingleObject(m, 0), Os::waitObject0);
  EXPECT_TRUE(Os::ReleaseMutex(m));

  auto c = Steps::Run({"mtx", "Local\\T_Mutex", "wait", "hold", "owned", "rel", "hold", "end"});
  ASSERT_TRUE(c.WaitForOut("hold owned\n"));
  EXPECT_FALSE(Os::ReleaseMutex(m));
  EXPECT_EQ(Os::GetLastError(), Os::errNotOwner);
  EXPECT_EQ(Os::WaitForSingleObject(m, 0), Os::waitTimeout);  // still the child's
  EXPECT_EQ(Os::WaitForSingleObject(m, 20), Os::waitTimeout);
  Go("owned");
  ASSERT_TRUE(c.WaitForOut("hold end\n"));
  EXPECT_EQ(c.Out(), "mtx 183\nwait 0\nhold owned\nrel\nhold end\n");
  EXPECT_EQ(Os::WaitForSingleObject(m, Os::infinite), Os::waitObject0);
  Go("end");
  ASSERT_TRUE(c.Wait());
  EXPECT_TRUE(Os::ReleaseMutex(m));
}

// Two handles of one mutex in one process are one mutex: owned through one, given back through
// the other; another thread of the process can neither own it meanwhile nor give it back.
TEST(Objects, TwoHandlesInOneProcessAreOneMutex) {
  Os::Handle a = Os::CreateMutexA("Local\\T_Mutex");
  Os::Handle b = Os::CreateMutexA("Local\\T_Mutex");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Os::WaitForSingleObject(a, Os::infinite), Os::waitObject0);
  EXPECT_EQ(Os::WaitForSingleObject(b, 0), Os::waitObject0);
  bool released = true;
  CARD32 err = 0, wait = 0;
  std::thread t([&] {
    released = Os::ReleaseMutex(a);
    err = Os::GetLastError();
    wait = Os::WaitForSingleObject(b, 0);
  });
  t.join();
  EXPECT_FALSE(released);
  EXPECT_EQ(err, Os::errNotOwner);
  EXPECT_EQ(wait, Os::waitTimeout);
  EXPECT_TRUE(Os::ReleaseMutex(b));
  EXPECT_TRUE(Os::ReleaseMutex(a));
  EXPECT_FALSE(Os::ReleaseMutex(a));
}

// The mutex file's header is checked on every open: a file of another layout, bitness or PID
// namespace, or no mutex at all, is refused with EPROTO. The header is reached here the way
// the README describes: a mapping opened on the mutex's name sees its file as plain bytes.
TEST(Objects, AMutexWhoseHeaderDoesNotMatchIsRefused) {
  ASSERT_NE(Os::CreateFileMappingA("Local\\T_Buffer", 64), nullptr);
  EXPECT_EQ(Os::CreateMutexA("Local\\T_Buffer"), nullptr);
  EXPECT_EQ(Os::GetLastError(), unsigned(EPROTO));

  ASSERT_NE(Os::CreateMutexA("Local\\T_Mutex"), nullptr);
  Os::Handle h = Os::CreateFileMappingA("Local\\T_Mutex", 32);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Os::GetLastError(), Os::errAlreadyExists);
  CARD32* header = static_cast<CARD32*>(Os::MapViewOfFile(h, 32));
  ASSERT_NE(header, nullptr);
  // magic, layout version, sizeof(pthread_mutex_t), ABI tag, then the PID namespace.
  for (int field : {0, 1, 2, 3, 4, 6}) {
    SCOPED_TRACE(field);
    header[field] ^= 0x100;
    auto c = Steps::Run({"mtx", "Local\\T_Mutex"});
    ASSERT_TRUE(c.Wait());
    EXPECT_EQ(c.Out(), "mtx! " + std::to_string(EPROTO) + "\n");
    header[field] ^= 0x100;
  }
  auto c = Steps::Run({"mtx", "Local\\T_Mutex", "try", "rel"});
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.Out(), "mtx 183\ntry 0\nrel\n");
}

// ---- The namespace ------------------------------------------------------------------------------

// Names are plain file names of the session directory; anything that could reach outside it, or
// meet the layer's temporary files, is refused and creates nothing.
TEST(Objects, NamesThatCouldLeaveTheSessionDirectoryAreRefused) {
  const std::string longName = "Local\\" + std::string(256, 'n');
  struct Case {
    std::string name;
    int err;
  } cases[] = {
      {"Local\\", EINVAL},     {"Local\\a/b", EINVAL},     {"Local\\..", EINVAL},
      {"Local\\a..b", EINVAL}, {"Local\\.hidden", EINVAL}, {"Global\\T_Buffer", EINVAL},
      {"Local\\x\\y", EINVAL}, {longName, ENAMETOOLONG},   {"Local\\/etc/passwd", EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Os::CreateFileMappingA(c.name.c_str(), 16), nullptr);
    EXPECT_EQ(Os::GetLastError(), unsigned(c.err));
    EXPECT_EQ(Os::CreateMutexA(c.name.c_str()), nullptr);
    EXPECT_EQ(Os::GetLastError(), unsigned(c.err));
  }
  EXPECT_TRUE(Files().empty());
  // The longest name that fits, and a name without the prefix, are fine.
  EXPECT_NE(Os::CreateFileMappingA(("Local\\" + std::string(255, 'n')).c_str(), 16), nullptr);
  EXPECT_NE(Os::CreateFileMappingA("Plain", 16), nullptr);
  EXPECT_EQ(Files(), (std::vector<std::string>{"Plain", std::string(255, 'n')}));
}

// Something other than an object file of ours under an object's name is never opened, and is
// left as it was.
TEST(Objects, FilesThatAreNotObjectsOfOursAreRefused) {
  const std::string d = SessionDir();
  std::ofstream(d + "/Open") << "x";
  fs::permissions(d + "/Open", fs::perms(0644));
  std::ofstream(d + "/Foreign") << "x";
  fs::permissions(d + "/Foreign", fs::perms(0600));
  ASSERT_EQ(chown((d + "/Foreign").c_str(), 65534, 65534), 0);
  std::ofstream(d + "/Linked") << "x";
  fs::permissions(d + "/Linked", fs::perms(0600));
  fs::create_hard_link(d + "/Linked", d + "/Linked2");
  fs::create_directory(d + "/Dir");
  fs::create_symlink("/etc/passwd", d + "/Link");
  ASSERT_EQ(mkfifo((d + "/Fifo").c_str(), 0600), 0);
  struct Case {
    const char* name;
    int err;
  } cases[] = {{"Local\\Open", EACCES}, {"Local\\Foreign", EACCES}, {"Local\\Linked", EACCES},
               {"Local\\Dir", EISDIR},  {"Local\\Link", ELOOP},     {"Local\\Fifo", EACCES}};
  const auto before = Files();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Os::CreateFileMappingA(c.name, 16), nullptr);
    EXPECT_EQ(Os::GetLastError(), unsigned(c.err));
    EXPECT_EQ(Os::CreateMutexA(c.name), nullptr);
    EXPECT_EQ(Os::GetLastError(), unsigned(c.err));
  }
  EXPECT_EQ(Files(), before);
  EXPECT_EQ(fs::file_size(d + "/Open"), 1u);
  EXPECT_EQ(fs::file_size(d + "/Linked"), 1u);
}

// The session directory itself must be a directory of the user's own that nobody else may
// enter; otherwise every creation fails with the access-denied code and a message that says
// why, and nothing is made through it.
TEST(Objects, AnUnsafeSessionDirectoryIsRefused) {
  const std::string d = SessionDir();
  fs::create_directory(d + "/good");
  fs::permissions(d + "/good", fs::perms(0700));
  fs::create_directory_symlink(d + "/good", d + "/link");
  fs::create_directory(d + "/open");
  fs::permissions(d + "/open", fs::perms(0750));
  fs::create_directory(d + "/foreign");
  fs::permissions(d + "/foreign", fs::perms(0700));
  ASSERT_EQ(chown((d + "/foreign").c_str(), 65534, 65534), 0);
  std::ofstream(d + "/file") << "x";
  struct Case {
    const char* dir;
    std::string why;
  } cases[] = {
      {"link", "it is a symbolic link"},
      {"open", "its mode 0750 lets group or others in"},
      {"foreign", "it belongs to uid 65534, not to uid 0"},
      {"file", "it is not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    const std::string dir = d + "/" + c.dir;
    auto ch = Steps::Run({"shm", "Local\\T_Buffer", "16", "mtx", "Local\\T_Mutex"}, "",
                         {"XDG_RUNTIME_DIR=" + dir});
    ASSERT_TRUE(ch.Wait());
    EXPECT_EQ(ch.Out(), "shm! 13\nmtx! 13\n");
    const std::string msg = "Os: session directory \"" + dir + "\" refused: " + c.why + "\r\n";
    EXPECT_EQ(ch.Err(), msg + msg);
    if (fs::is_directory(dir)) {
      EXPECT_TRUE(Files(dir).empty());
    }
  }
  EXPECT_TRUE(Files(d + "/good").empty());
}

// Another user cannot reach the objects: the session directory is not theirs.
TEST(Objects, AnotherUserCannotOpenTheObjects) {
  ASSERT_EQ(geteuid(), 0u) << "needs root to become another user";
  Os::Handle m = Os::CreateFileMappingA("Local\\T_Buffer", 16);
  ASSERT_NE(m, nullptr);
  ASSERT_NE(Os::CreateMutexA("Local\\T_Mutex"), nullptr);
  static_cast<BYTE*>(Os::MapViewOfFile(m, 16))[0] = 0x11;
  const auto before = Files();
  auto c = Steps::Run({"uid", "65534", "shm", "Local\\T_Buffer", "16", "mtx", "Local\\T_Mutex",
                       "shm", "Local\\T_New", "16"});
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.Out(), "uid\nshm! 13\nmtx! 13\nshm! 13\n");
  EXPECT_EQ(Files(), before);
  EXPECT_EQ(static_cast<BYTE*>(Os::MapViewOfFile(m, 16))[0], 0x11);
}

// Without a runtime directory (empty, or no absolute path) the layer keeps its objects
// in /dev/shm/tovrel-<uid>, which it makes with mode 0700.
TEST(Objects, WithoutARuntimeDirectoryTheObjectsLiveInDevShm) {
  const std::string name = "T_Fallback_" + std::to_string(getpid());
  const std::string dir = "/dev/shm/tovrel-" + std::to_string(geteuid());
  for (const char* env : {"XDG_RUNTIME_DIR=", "XDG_RUNTIME_DIR=relative"}) {
    SCOPED_TRACE(env);
    auto c = Steps::Run({"shm", "Local\\" + name, "16"}, "", {env});
    ASSERT_TRUE(c.Wait());
    EXPECT_EQ(c.Out(), "shm 0\n");
    struct stat s {};
    ASSERT_EQ(lstat(dir.c_str(), &s), 0);
    EXPECT_TRUE(S_ISDIR(s.st_mode));
    EXPECT_EQ(s.st_mode & 07777, 0700u);
    EXPECT_EQ(s.st_uid, geteuid());
    EXPECT_TRUE(fs::exists(dir + "/" + name));
    fs::remove(dir + "/" + name);
  }
}

}  // namespace
