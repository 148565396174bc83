// Child processes for tests: the test binary itself started in a named child role, or any
// program, with its standard output and error captured in files, its exit observed, and
// signals sent to it. Roles are defined with CHILD_ROLE(name) { ... } in any test file; a role
// that returns ends the child with the value it returns.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace Child {

using Args = std::vector<std::string>;
using Role = int (*)(const Args& args);

struct Registrar {
  Registrar(const char* name, Role fn);
};

#define CHILD_ROLE(name)                                                    \
  static int ChildRole_##name(const ::Child::Args& args);                   \
  static ::Child::Registrar childRegistrar_##name(#name, ChildRole_##name); \
  static int ChildRole_##name([[maybe_unused]] const ::Child::Args& args)

// Called first thing in main: runs the role named on the command line, if any, and never
// returns then.
void RunRoleIfAsked(int argc, char** argv);

struct Options {
  std::string cwd;               // empty: the test's current directory
  std::vector<std::string> env;  // NAME=value entries added to (or replacing in) the environment
};

class Proc {
 public:
  Proc() = default;
  Proc(Proc&& o) noexcept;
  Proc& operator=(Proc&& o) noexcept;
  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;
  ~Proc();  // kills a child still running

  pid_t Pid() const { return pid_; }
  bool Running();
  void Signal(int sig);
  // Waits for the end; false if it did not end in time (the child is then killed).
  bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Valid after Wait: the exit code, or -1 when a signal ended it (Signalled() tells which).
  int Code() const { return code_; }
  int Signalled() const { return sig_; }
  std::string Out() const;  // standard output so far
  std::string Err() const;  // standard error so far
  // Waits until the standard output holds the text; false on time-out or when the child ended
  // without writing it.
  bool WaitForOut(const std::string& text,
                  std::chrono::milliseconds limit = std::chrono::seconds(20));

 private:
  friend Proc Start(const std::string&, const Args&, const Options&);
  friend Proc Exec(const std::string&, const Args&, const Options&);
  pid_t pid_ = -1;
  int code_ = -1;
  int sig_ = 0;
  bool done_ = false;
  std::string dir_;
};

// The test binary in the role `role`, with args.
Proc Start(const std::string& role, const Args& args = {}, const Options& o = {});
// Any program, with args.
Proc Exec(const std::string& path, const Args& args = {}, const Options& o = {});

// Reads a whole file; empty when it does not exist.
std::string ReadFile(const std::string& path);
// Waits until the file holds the text.
bool WaitForFile(const std::string& path, const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace Child
