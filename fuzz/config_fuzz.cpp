// Fuzz target: each program's configuration from an argument vector built from the input (its
// NUL bytes separate the arguments). Config ends the process for help and for every error, so
// each input runs in a child process; the parent checks the outcome: the help text and exit
// code 0, or one of the command-line error texts on standard error, or the start-up going on
// with nothing on standard error and the dump on standard output only under -v. Nothing else,
// and never a crash.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "Cfg.h"
#include "Config.h"
#include "Lib3.h"
#include "os/os.h"

namespace {

const std::string prg = Cfg::prgName;

std::string ReadAll(int fd) {
  std::string s;
  char b[4096];
  ssize_t n;
  while ((n = read(fd, b, sizeof b)) > 0) s.append(b, static_cast<size_t>(n));
  return s;
}

bool EndsWith(const std::string& s, const std::string& t) {
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

bool IsHelp(const std::string& out) {
  return out.rfind("(* " + prg + " v", 0) == 0 &&
         EndsWith(out, "\r\n       | '-v'      (* be verbose *) .\r\n");
}

// A command-line error: the first line says which, quoting the argument; the whole report is
// cut at the line's 127 characters.
bool IsError(const std::string& err) {
  static const std::regex head(
      "^" + prg +
      R"(\.Config\.ParseArgs\.Error: (Invalid IP address|Invalid port number|Port number out of range|Invalid option|Unexpected argument))");
  if (err.size() < 2 || err.compare(err.size() - 2, 2, "\r\n") != 0) return false;
  const std::string body = err.substr(0, err.size() - 2);
  if (!std::regex_search(body, head)) return false;
  const std::string tail = "\r\nTry '" + prg + " -h' for help.";
  return body.size() == 127 || EndsWith(body, tail);
}

bool IsDump(const std::string& out, bool verbose) {
  if (!verbose) return out.empty();
  static const std::regex line(R"(\d{8} \d{6}\.\d{3} [0-9A-F]{8} Config   M [^\r\n]*\r\n)");
  std::string s = out;
  int n = 0;
  for (std::smatch m; std::regex_search(s, m, line) && m.position(0) == 0; s = m.suffix()) ++n;
  return s.empty() && n == 11;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 600) return 0;
  std::vector<std::string> args = {prg};
  std::string a;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      args.push_back(a);
      a.clear();
    } else {
      a += static_cast<char>(data[i]);
    }
  }
  bool verbose = false;
  for (const auto& x : args) verbose = verbose || x == "-v" || x == "/v";

  static std::string dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/tovrel-fuzz-config-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    if (chdir(dir.c_str()) != 0) _exit(100);
    unlink((prg + ".log").c_str());
    std::vector<const CHAR*> v;
    for (const auto& x : args) v.push_back(x.c_str());
    Os::SetArgs(static_cast<CARD32>(v.size()), v.data());
    Config::Start();
    Lib3::Halt();
  }
  close(out[1]);
  close(err[1]);
  const std::string o = ReadAll(out[0]), e = ReadAll(err[0]);
  close(out[0]);
  close(err[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (!WIFEXITED(st)) std::abort();
  const int code = WEXITSTATUS(st);
  const bool ok = (code == 0 && IsHelp(o) && e.empty()) ||
                  (code == 255 && o.empty() && IsError(e)) ||
                  (code == 255 && e.empty() && IsDump(o, verbose));
  if (!ok) {
    fprintf(stderr, "code %d\nstdout:\n%s\nstderr:\n%s\n", code, o.c_str(), e.c_str());
    std::abort();
  }
  return 0;
}
