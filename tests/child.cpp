#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace Child {
namespace {

constexpr char roleFlag[] = "--tovrel-child-role=";

std::map<std::string, Role>& Roles() {
  static std::map<std::string, Role> roles;
  return roles;
}

std::string SelfPath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

}  // namespace

Registrar::Registrar(const char* name, Role fn) {
  Roles()[name] = fn;
}

void RunRoleIfAsked(int argc, char** argv) {
  if (argc < 2 || strncmp(argv[1], roleFlag, sizeof roleFlag - 1) != 0) return;
  const std::string name = argv[1] + sizeof roleFlag - 1;
  const auto it = Roles().find(name);
  if (it == Roles().end()) {
    fprintf(stderr, "no child role %s\n", name.c_str());
    _exit(120);
  }
  Args args(argv + 2, argv + argc);
  _exit(it->second(args));
}

Proc Exec(const std::string& path, const Args& args, const Options& o) {
  Proc p;
  char tmpl[] = "/tmp/tovrel-child-XXXXXX";
  p.dir_ = mkdtemp(tmpl);
  const std::string out = p.dir_ + "/out", err = p.dir_ + "/err";

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string s = *e;
    bool replaced = false;
    for (const std::string& n : o.env)
      if (s.substr(0, s.find('=') + 1) == n.substr(0, n.find('=') + 1)) replaced = true;
    if (!replaced) env.push_back(s);
  }
  env.insert(env.end(), o.env.begin(), o.env.end());
  std::vector<char*> envp, argvp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string prog = path;
  argvp.push_back(prog.data());
  std::vector<std::string> a = args;
  for (std::string& s : a) argvp.push_back(s.data());
  argvp.push_back(nullptr);

  p.pid_ = fork();
  if (p.pid_ == 0) {
    const int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int fi = open("/dev/null", O_RDONLY);
    if (fo < 0 || fe < 0 || fi < 0) _exit(121);
    dup2(fi, 0);
    dup2(fo, 1);
    dup2(fe, 2);
    // Signals blocked or ignored by the test runner must not be inherited.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) signal(s, SIG_DFL);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(122);
    execve(prog.c_str(), argvp.data(), envp.data());
    _exit(123);
  }
  return p;
}

Proc Start(const std::string& role, const Args& args, const Options& o) {
  Args a;
  a.push_back(roleFlag + role);
  a.insert(a.end(), args.begin(), args.end());
  return Exec(SelfPath(), a, o);
}

Proc::Proc(Proc&& o) noexcept {
  *this = std::move(o);
}

Proc& Proc::operator=(Proc&& o) noexcept {
  std::swap(pid_, o.pid_);
  std::swap(code_, o.code_);
  std::swap(sig_, o.sig_);
  std::swap(done_, o.done_);
  std::swap(dir_, o.dir_);
  return *this;
}

Proc::~Proc() {
  if (pid_ > 0 && !done_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

bool Proc::Running() {
  if (done_ || pid_ <= 0) return false;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) != pid_) return true;
  done_ = true;
  code_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  sig_ = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
  return false;
}

void Proc::Signal(int sig) {
  if (!done_ && pid_ > 0) kill(pid_, sig);
}

bool Proc::Wait(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (Running()) {
    if (std::chrono::steady_clock::now() > end) {
      kill(pid_, SIGKILL);
      while (Running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string Proc::Out() const {
  return ReadFile(dir_ + "/out");
}
std::string Proc::Err() const {
  return ReadFile(dir_ + "/err");
}

bool Proc::WaitForOut(const std::string& text, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (Out().find(text) != std::string::npos) return true;
    if (!Running() || std::chrono::steady_clock::now() > end)
      return Out().find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool WaitForFile(const std::string& path, const std::string& text,
                 std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (ReadFile(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace Child
