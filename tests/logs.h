// Reading the programs' log files in end-to-end tests: the lines of a file, the lines of the
// last run, and waiting until a program has attached to Main.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child.h"

namespace Logs {

// The lines of a file, each without its CR LF.
inline std::vector<std::string> Lines(const std::string& path) {
  const std::string s = Child::ReadFile(path);
  std::vector<std::string> v;
  for (size_t i = 0; i < s.size();) {
    size_t j = s.find("\r\n", i);
    if (j == std::string::npos) j = s.size();
    v.push_back(s.substr(i, j - i));
    i = j + 2;
  }
  return v;
}

// The lines of a log from its last start marker on.
inline std::vector<std::string> LastRun(const std::string& log) {
  std::vector<std::string> v;
  for (const std::string& l : Lines(log)) {
    if (l.find(" 00000000 M ========================================") != std::string::npos)
      v.clear();
    v.push_back(l);
  }
  return v;
}

inline bool Has(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

// Waits until the program's log shows that it has attached to Main: the view of the buffer
// follows the view of the counts region.
inline bool Attached(const std::string& log,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    int views = 0;
    for (const std::string& l : LastRun(log)) views += l.find("NewShm: MapViewOfFile") != l.npos;
    if (views >= 2) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace Logs
