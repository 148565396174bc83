// A hostile namespace: traps and damage under the names that Tovrel's participants use, against
// the session directory and against each of the object files. Every case ends the participant
// with the fatal text of the call that failed and a message on standard error that names the
// file and says why; nothing is created, followed or changed through the trap.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "os/os.h"
#include "steps.h"

namespace {

namespace fs = std::filesystem;

// What can be seen of a file without following it: its kind, mode, owner, links, size, and its
// bytes or the path it leads to.
std::string Describe(const std::string& p) {
  struct stat s {};
  if (lstat(p.c_str(), &s) != 0) return "missing";
  std::string d = std::to_string(s.st_mode) + " " + std::to_string(s.st_uid) + " " +
                  std::to_string(s.st_nlink) + " " + std::to_string(s.st_size);
  if (S_ISLNK(s.st_mode)) d += " -> " + fs::read_symlink(p).string();
  if (S_ISREG(s.st_mode)) d += " " + Child::ReadFile(p);
  if (S_ISDIR(s.st_mode))
    d += " entries " + std::to_string(std::distance(fs::directory_iterator(p), {}));
  return d;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> v;
  for (const auto& e : fs::directory_iterator(dir)) v.insert(e.path().filename());
  return v;
}

// A participant that attaches a reader to Main, in a directory of its own, with session
// directory session; it must end with the fatal text and the message.
void ExpectRefused(const std::string& name, const std::string& session, const std::string& text,
                   const std::string& message, const Child::Args& before = {}) {
  Child::Args steps = before;
  steps.insert(steps.end(), {"tovrel", "rdr", "main"});
  const std::string dir = Steps::Dir("p-" + name);
  if (!before.empty()) chown(dir.c_str(), 65534, 65534);
  auto p = Steps::Run(steps, dir, {"XDG_RUNTIME_DIR=" + session});
  ASSERT_TRUE(p.Wait());
  EXPECT_EQ(p.Code(), 255) << p.Out() << p.Err();
  EXPECT_NE(p.Out().find("Tovrel   F " + text + "\r\n"), std::string::npos) << p.Out();
  EXPECT_EQ(p.Err(), message) << p.Out();
}

// ---- The object files ---------------------------------------------------------------------------

struct Target {
  const char* file;
  CARD32 size;  // of a mapping; 0 for a mutex
};
// In the order in which a participant makes them.
const Target targets[] = {{"Tovrel_Counts_Mutex", 0},
                          {"Tovrel_Counts_Buffer", 16},
                          {"Tovrel_Main_Mutex", 0},
                          {"Tovrel_Main_Buffer", 512}};

std::string Failed(const Target& t, int err) {
  return std::string(t.size == 0 ? "NewMtx: CreateMutex" : "NewShm: CreateFileMapping") +
         " failed, error code " + std::to_string(err);
}

// Makes the test process a live holder of the target in the current session directory.
void Hold(const Target& t) {
  const std::string n = std::string("Local\\") + t.file;
  ASSERT_NE(t.size == 0 ? Os::CreateMutexA(n.c_str()) : Os::CreateFileMappingA(n.c_str(), t.size),
            nullptr);
}

// Overwrites four bytes of a file in place.
void Patch(const std::string& p, off_t at, CARD32 v) {
  const int fd = open(p.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, &v, sizeof v, at), ssize_t(sizeof v));
  close(fd);
}

TEST(Hostile, EveryTrapUnderAnObjectsNameIsRefusedAndLeftAsItWas) {
  ASSERT_EQ(geteuid(), 0u) << "needs root to give files to another user";
  const std::string victim = Steps::TestDir() + "/victim";
  enum Kind { any, mutex, mapping };
  struct Case {
    const char* name;
    Kind kind;
    std::function<void(const std::string& path, const Target& t)> make;
    std::string why;    // behind "refused: "; %s stands for the size of a mapping
    int err;            // the call's error code
    bool view = false;  // the view fails, not the open
  } cases[] = {
      {"symlink", any, [&](auto& p, auto&) { fs::create_symlink(victim, p); },
       "it is a symbolic link", ELOOP},
      {"dangling symlink", any, [&](auto& p, auto&) { fs::create_symlink(victim + "-new", p); },
       "it is a symbolic link", ELOOP},
      {"hard link", any, [&](auto& p, auto&) { fs::create_hard_link(victim, p); }, "it has 2 names",
       EACCES},
      {"fifo", any, [](auto& p, auto&) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
       "it is not a regular file", EACCES},
      {"directory", any, [](auto& p, auto&) { fs::create_directory(p); }, "it is a directory",
       EISDIR},
      {"other user", any,
       [](auto& p, auto&) {
         std::ofstream(p) << "theirs";
         chmod(p.c_str(), 0600);
         ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
       },
       "it belongs to uid 65534, not to uid 0", EACCES},
      {"group-writable", any,
       [](auto& p, auto&) {
         std::ofstream{p};
         chmod(p.c_str(), 0620);
       },
       "its mode 0620 lets group or others in", EACCES},
      {"world-writable", any,
       [](auto& p, auto&) {
         std::ofstream{p};
         chmod(p.c_str(), 0606);
       },
       "its mode 0606 lets group or others in", EACCES},
      // The header of a live mutex, changed by another process of the user.
      {"magic", mutex, [](auto& p, auto& t) { Hold(t), Patch(p, 0, 0x12345678); },
       "it holds no mutex", EPROTO},
      {"layout version", mutex, [](auto& p, auto& t) { Hold(t), Patch(p, 4, 2); },
       "its mutex has another layout version", EPROTO},
      {"ABI", mutex, [](auto& p, auto& t) { Hold(t), Patch(p, 12, 32 | 0x4C00); },
       "its mutex is of another ABI (bitness)", EPROTO},
      {"size", mutex, [](auto& p, auto& t) { Hold(t), Patch(p, 8, 24); },
       "its mutex is of another ABI (bitness)", EPROTO},
      {"PID namespace", mutex, [](auto& p, auto& t) { Hold(t), Patch(p, 24, 1); },
       "its mutex is of another PID namespace", EPROTO},
      // A mutex of another kind (here one with a priority ceiling that glibc would abort on).
      {"mutex kind", mutex,
       [](auto& p, auto& t) {
         Hold(t), Patch(p, 32 + offsetof(pthread_mutex_t, __data.__kind), 0xFFF800C1u);
       },
       "its mutex is of another kind", EPROTO},
      // A live object cut or grown by another process of the user.
      {"truncated", mutex, [](auto& p, auto& t) { Hold(t), fs::resize_file(p, 16); },
       "it is too small for a mutex", EPROTO},
      {"truncated", mapping, [](auto& p, auto& t) { Hold(t), fs::resize_file(p, 8); },
       "it holds 8 bytes, fewer than a view of %s", EOVERFLOW, true},
      {"truncated to 0", mapping, [](auto& p, auto& t) { Hold(t), fs::resize_file(p, 0); },
       "it holds 0 bytes, fewer than a view of %s", EOVERFLOW, true},
  };
  int k = 0;
  for (const auto& c : cases) {
    for (const Target& t : targets) {
      if ((c.kind == mutex && t.size != 0) || (c.kind == mapping && t.size == 0)) continue;
      const std::string id = std::to_string(k++);
      SCOPED_TRACE(std::string(c.name) + " as " + t.file);
      // A session directory of the case's own, for the participant and for this process.
      const std::string session = Steps::Dir("s" + id);
      setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
      fs::remove(victim);
      std::ofstream(victim) << "victim";
      fs::permissions(victim, fs::perms(0600));
      const std::string path = session + "/" + t.file;
      c.make(path, t);
      if (HasFatalFailure()) return;
      const std::string was = Describe(path), victimWas = Describe(victim);
      const std::set<std::string> namesWere = Names(session);

      std::string why = c.why;
      if (const size_t s = why.find("%s"); s != std::string::npos)
        why.replace(s, 2, std::to_string(t.size));
      const std::string text =
          c.view ? "NewShm: MapViewOfFile failed, error code " + std::to_string(c.err)
                 : Failed(t, c.err);
      ExpectRefused(id, session, text, "Os: object \"" + path + "\" refused: " + why + "\r\n");

      EXPECT_EQ(Describe(path), was) << "the trap is as it was";
      EXPECT_EQ(Describe(victim), victimWas) << "nothing was changed through it";
      EXPECT_FALSE(fs::exists(victim + "-new")) << "nothing was created through it";
      std::set<std::string> names = namesWere;
      for (const Target& e : targets) {
        if (std::string(e.file) == t.file) break;
        names.insert(e.file);  // the objects made before this one
      }
      EXPECT_EQ(Names(session), names);
    }
  }
}

// A file that a process of the user has grown under a live object is still the object: the
// participant attaches and works, the mapping keeping the size the file has now.
TEST(Hostile, AGrownObjectFileStillWorks) {
  for (const Target& t : targets) {
    SCOPED_TRACE(t.file);
    const std::string session = Steps::Dir(std::string("s-") + t.file);
    setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
    Hold(t);
    fs::resize_file(session + "/" + t.file, 1 << 20);
    auto p = Steps::Run({"tovrel", "rdr", "main", "read", "128"},
                        Steps::Dir(std::string("p-") + t.file), {"XDG_RUNTIME_DIR=" + session});
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.Code(), 0) << p.Out() << p.Err();
    EXPECT_EQ(p.Out(), "tovrel\nrdr\nread 128 " + std::string(256, '0') + "\n");
  }
}

// ---- The session directory ----------------------------------------------------------------------

TEST(Hostile, EveryUnsafeSessionDirectoryIsRefusedAndNothingIsMadeInIt) {
  ASSERT_EQ(geteuid(), 0u) << "needs root to give files to another user";
  const std::string d = Steps::TestDir();
  const std::string good = Steps::Dir("good");
  const std::string failed = Failed(targets[0], EACCES);
  struct Case {
    const char* name;
    std::function<void(const std::string& p)> make;
    std::string why;
  } cases[] = {
      {"symlink", [&](auto& p) { fs::create_directory_symlink(good, p); }, "it is a symbolic link"},
      {"dangling symlink", [&](auto& p) { fs::create_directory_symlink(d + "/nowhere", p); },
       "it is a symbolic link"},
      {"fifo", [](auto& p) { ASSERT_EQ(mkfifo(p.c_str(), 0700), 0); }, "it is not a directory"},
      {"file", [](auto& p) { std::ofstream(p) << "x"; }, "it is not a directory"},
      {"other user",
       [](auto& p) {
         fs::create_directory(p);
         chmod(p.c_str(), 0700);
         ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
       },
       "it belongs to uid 65534, not to uid 0"},
      {"group-writable",
       [](auto& p) {
         fs::create_directory(p);
         chmod(p.c_str(), 0770);
       },
       "its mode 0770 lets group or others in"},
      {"world-writable",
       [](auto& p) {
         fs::create_directory(p);
         chmod(p.c_str(), 0707);
       },
       "its mode 0707 lets group or others in"},
      {"sticky and open to all",
       [](auto& p) {
         fs::create_directory(p);
         chmod(p.c_str(), 01777);
       },
       "its mode 1777 lets group or others in"},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string p = d + "/session-" + std::to_string(k);
    c.make(p);
    if (HasFatalFailure()) return;
    const std::string was = Describe(p);
    ExpectRefused("dir" + std::to_string(k++), p, failed,
                  "Os: session directory \"" + p + "\" refused: " + c.why + "\r\n");
    EXPECT_EQ(Describe(p), was);
    EXPECT_TRUE(fs::is_empty(good));
    EXPECT_FALSE(fs::exists(d + "/nowhere"));
  }
}

// Another user cannot squat the directory that a user's objects go to when there is no runtime
// directory: the user finds it taken, refuses it and makes nothing in it.
TEST(Hostile, ASquattedFallbackDirectoryIsRefused) {
  ASSERT_EQ(geteuid(), 0u) << "needs root to act as two users";
  const std::string squat = "/dev/shm/tovrel-65534";
  fs::remove_all(squat);
  fs::create_directory(squat);  // root's, for the user 65534
  fs::permissions(squat, fs::perms(0700));
  ExpectRefused(
      "squat", "", Failed(targets[0], EACCES),
      "Os: session directory \"" + squat + "\" refused: it belongs to uid 0, not to uid 65534\r\n",
      {"uid", "65534"});
  EXPECT_TRUE(fs::is_empty(squat));
  fs::remove_all(squat);
}

}  // namespace
