// The test runner: every test runs in a fresh directory of its own, which is its current
// directory and, through XDG_RUNTIME_DIR, its session directory for named objects.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

class OwnDirectory : public testing::EmptyTestEventListener {
  std::filesystem::path home, dir;

  void OnTestStart(const testing::TestInfo&) override {
    home = std::filesystem::current_path();
    char tmpl[] = "/tmp/tovrel-test-XXXXXX";
    dir = mkdtemp(tmpl);  // mode 0700, as a session directory must be
    std::filesystem::current_path(dir);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }

  void OnTestEnd(const testing::TestInfo&) override {
    std::filesystem::current_path(home);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Death tests start the test binary afresh, so each child begins with no module started.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testing::UnitTest::GetInstance()->listeners().Append(new OwnDirectory);
  return RUN_ALL_TESTS();
}
