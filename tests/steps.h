// The "steps" child role (steps.cpp): the other process of the multi-process tests of the named
// objects and of Tovrel. It runs the steps given as its arguments in order and writes one line
// per step to standard output, so that a test can follow it.
//
// Steps on the platform layer (the last mutex and the last view are the current ones):
//   mtx NAME       CreateMutexA                      -> "mtx <last error>" or "mtx! <error>"
//   wait           WaitForSingleObject, no time-out  -> "wait <result>"
//   try            WaitForSingleObject, 0 ms         -> "try <result>"
//   rel            ReleaseMutex                      -> "rel" or "rel! <error>"
//   shm NAME SIZE  CreateFileMappingA                -> "shm <last error>" or "shm! <error>"
//   view SIZE      MapViewOfFile                     -> "view" or "view! <error>"
//   peek N         the first N bytes of the view     -> "peek <hex>"
//   poke V N       sets the first N bytes to V       -> "poke"
// Steps on Tovrel (the last reader and the last writer are the current ones):
//   tovrel         Tovrel::Start                     -> "tovrel"
//   rdr ID, wrtr ID  NewRdr, NewWrtr of main or back -> "rdr", "wrtr"
//   write V N      Write of N bytes of value V       -> "write <result>"
//   read N         Read of N bytes                   -> "read <result> <hex>"
//   writeloop F    writes uniform 128-byte blocks, the value going up by one, until Go(F)
//                                                    -> "writeloop <blocks written>"
//   chk TABLE      checks one of the tables of steps.cpp -> "chk ok"
//   fault lock, fault unlock  makes every later lock (release) of a named mutex fail with
//                  EINVAL                            -> "fault"
// Steps of the process:
//   hold F         -> "hold F", then waits until the test calls Go(F)
//   uid N          gives up root for user and group N -> "uid"
//   kill           ends the process with SIGKILL, whatever it owns
// After the last step the process ends with exit code 0.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "child.h"

namespace Steps {

// The directory of the running test, which its children share.
inline std::string TestDir() {
  return getenv("TOVREL_TEST_DIR");
}

// The session directory of the running test.
inline std::string SessionDir() {
  return getenv("XDG_RUNTIME_DIR");
}

// Starts a child that runs the steps, in the test's current directory or in dir.
inline Child::Proc Run(const Child::Args& steps, const std::string& dir = "",
                       const std::vector<std::string>& env = {}) {
  return Child::Start("steps", steps, Child::Options{dir, env});
}

// A fresh directory of the test for a child of its own (a program keeps its log file, which
// only one process may have open, in its current directory).
inline std::string Dir(const std::string& name) {
  const std::string d = TestDir() + "/" + name;
  mkdir(d.c_str(), 0700);
  return d;
}

// Lets the "hold f" and "writeloop f" steps of every child go on.
inline std::string GoFile(const std::string& f) {
  return TestDir() + "/go-" + f;
}
inline void Go(const std::string& f) {
  std::ofstream{GoFile(f)};
}

}  // namespace Steps
