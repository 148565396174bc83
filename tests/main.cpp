// The test runner: every test runs in a fresh directory of its own, with a current directory
// <dir>/cwd and a session directory for named objects <dir>/run (XDG_RUNTIME_DIR). A death
// test's child and a child role (child.h) work in the directory of the test that started them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "child.h"

namespace {

class OwnDirectory : public testing::EmptyTestEventListener {
  std::filesystem::path home, dir;

  void OnTestStart(const testing::TestInfo&) override {
    home = std::filesystem::current_path();
    char tmpl[] = "/tmp/tovrel-test-XXXXXX";
    dir = mkdtemp(tmpl);
    // Both mode 0700, as a session directory must be.
    mkdir((dir / "cwd").c_str(), 0700);
    mkdir((dir / "run").c_str(), 0700);
    std::filesystem::current_path(dir / "cwd");
    setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
    setenv("TOVREL_TEST_DIR", dir.c_str(), 1);
  }

  void OnTestEnd(const testing::TestInfo&) override {
    std::filesystem::current_path(home);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

// Modules start once per process, so every test runs in a process of its own: ctest starts one
// per test, and a run of several tests from the command line starts the binary once per test.
std::vector<std::string> TestsToRun(const std::string& self) {
  std::vector<std::string> names;
  const std::string cmd = "TOVREL_ONE_TEST=1 '" + self + "' --gtest_list_tests --gtest_filter='" +
                          GTEST_FLAG_GET(filter) + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return names;
  char line[1024];
  std::string suite;
  while (fgets(line, sizeof line, p) != nullptr) {
    std::string l = line;
    l = l.substr(0, l.find_first_of("#\n"));
    while (!l.empty() && l.back() == ' ') l.pop_back();
    if (l.empty()) continue;
    if (l[0] != ' ')
      suite = l;
    else
      names.push_back(suite + l.substr(l.find_first_not_of(' ')));
  }
  pclose(p);
  return names;
}

int RunEachInItsOwnProcess(const std::string& self, const std::vector<std::string>& names) {
  size_t failed = 0;
  for (const std::string& n : names) {
    const std::string cmd =
        "TOVREL_ONE_TEST=1 '" + self + "' --gtest_filter='" + n + "' > .test-output 2>&1";
    const bool ok = std::system(cmd.c_str()) == 0;
    std::printf("%s %s\n", ok ? "[ OK ]" : "[FAIL]", n.c_str());
    if (!ok) {
      ++failed;
      std::system("cat .test-output");
    }
  }
  std::remove(".test-output");
  std::printf("%zu passed, %zu failed\n", names.size() - failed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Child::RunRoleIfAsked(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  // A death test's child starts in the directory where the binary was started, and its events
  // reach no listener: it moves to the directory of the test that started it here.
  if (!GTEST_FLAG_GET(internal_run_death_test).empty()) {
    const char* d = getenv("TOVREL_TEST_DIR");
    if (d != nullptr) std::filesystem::current_path(std::string(d) + "/cwd");
  } else if (!GTEST_FLAG_GET(list_tests) && getenv("TOVREL_ONE_TEST") == nullptr) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::vector<std::string> names = TestsToRun(self);
    if (names.size() > 1) return RunEachInItsOwnProcess(self, names);
  }
  // Death tests start the test binary afresh, so each child begins with no module started.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testing::UnitTest::GetInstance()->listeners().Append(new OwnDirectory);
  return RUN_ALL_TESTS();
}
