// Fuzz target: the Windows command-line splitter. Whatever the line, the words are non-empty,
// and a line written back from them, each word quoted so that the splitter must take it as
// one, splits into the same words again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "CmdLine.h"

namespace {

// One word as a command line gives it back: in quotes, each quote as \", and a run of trailing
// backslashes behind the closing quote (in front of it they would escape it).
std::string Quote(const std::string& w) {
  size_t end = w.size();
  while (end > 0 && w[end - 1] == '\\') --end;
  std::string q = "\"";
  for (size_t i = 0; i < end; ++i) q += w[i] == '"' ? std::string("\\\"") : std::string(1, w[i]);
  return q + "\"" + w.substr(end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> words =
      CmdLine::Split(Text(line.data(), static_cast<CARD32>(line.size())));
  std::string again;
  for (const std::string& w : words) {
    if (w.empty() || w.find('\0') != std::string::npos) std::abort();
    again += (again.empty() ? "" : " \t ") + Quote(w);
  }
  if (CmdLine::Split(Text(again.data(), static_cast<CARD32>(again.size()))) != words) std::abort();
  return 0;
}
