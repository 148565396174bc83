// The win32 implementation of the platform layer: each function forwards to the Windows call
// it is named after, with the arguments the modules rely on. Sections, in the same order as in
// posix.cpp:
//   errors, storage, critical sections, process, standard handles, timer resolution and clock,
//   system time, handles and waits, named objects, waitable timer, console control handler,
//   files, command line and current directory.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// after windows.h, which it needs
#include <mmsystem.h>
// <windows.h> maps these names to their A or W forms by macros; the layer's functions of the
// same names keep their own.
#undef GetCurrentDirectory

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../CmdLine.h"
#include "os.h"

namespace Os {

// ---- Errors -------------------------------------------------------------------------------------
CARD32 GetLastError() {
  return ::GetLastError();
}

// ---- Storage ------------------------------------------------------------------------------------
void* Allocate(CARD32 n) {
  return n == 0 ? nullptr : ::HeapAlloc(::GetProcessHeap(), 0, n);
}

// ---- Critical sections --------------------------------------------------------------------------
CARD32 CriticalSectionSize() {
  return sizeof(CRITICAL_SECTION);
}

void InitializeCriticalSection(void* cs) {
  ::InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
}

void EnterCriticalSection(void* cs) {
  ::EnterCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
}

void LeaveCriticalSection(void* cs) {
  ::LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
}

// ---- Process ------------------------------------------------------------------------------------
void ExitProcess(BYTE code) {
  ::ExitProcess(code);
}

// ---- Standard handles ---------------------------------------------------------------------------
const File InvalidFile = reinterpret_cast<File>(INVALID_HANDLE_VALUE);

File StdIn() {
  return reinterpret_cast<File>(::GetStdHandle(STD_INPUT_HANDLE));
}
File StdOut() {
  return reinterpret_cast<File>(::GetStdHandle(STD_OUTPUT_HANDLE));
}
File StdErr() {
  return reinterpret_cast<File>(::GetStdHandle(STD_ERROR_HANDLE));
}

bool WriteFile(File f, const void* p, CARD32 n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    DWORD w = 0;
    if (!::WriteFile(reinterpret_cast<HANDLE>(f), c, n, &w, nullptr)) return false;
    c += w;
    n -= w;
  }
  return true;
}

// ---- Timer resolution and clock -----------------------------------------------------------------
CARD32 timeBeginPeriod(CARD32 ms) {
  return ::timeBeginPeriod(ms);
}
CARD32 timeEndPeriod(CARD32 ms) {
  return ::timeEndPeriod(ms);
}
CARD32 timeGetTime() {
  return ::timeGetTime();
}

// ---- System time --------------------------------------------------------------------------------
void GetSystemTime(SYSTEMTIME& t) {
  ::SYSTEMTIME s;
  ::GetSystemTime(&s);
  t.wYear = s.wYear;
  t.wMonth = s.wMonth;
  t.wDayOfWeek = s.wDayOfWeek;
  t.wDay = s.wDay;
  t.wHour = s.wHour;
  t.wMinute = s.wMinute;
  t.wSecond = s.wSecond;
  t.wMilliseconds = s.wMilliseconds;
}

// ---- Handles and waits --------------------------------------------------------------------------
CARD32 WaitForSingleObject(Handle h, CARD32 ms) {
  return ::WaitForSingleObject(h, ms);
}

// ---- Named objects ------------------------------------------------------------------------------
Handle CreateFileMappingA(const CHAR* name, CARD32 size) {
  return ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
}

void* MapViewOfFile(Handle mapping, CARD32 size) {
  return ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
}

Handle CreateMutexA(const CHAR* name) {
  return ::CreateMutexA(nullptr, FALSE, name);
}

bool ReleaseMutex(Handle mutex) {
  return ::ReleaseMutex(mutex) != 0;
}

// ---- Waitable timer -----------------------------------------------------------------------------
static_assert(waitTimeout == WAIT_TIMEOUT);

Handle CreateWaitableTimerA() {
  return ::CreateWaitableTimerA(nullptr, FALSE, nullptr);
}

bool SetWaitableTimer(Handle h, std::int64_t due, INT32 periodMs) {
  LARGE_INTEGER d;
  d.QuadPart = due;
  return ::SetWaitableTimer(h, &d, periodMs, nullptr, nullptr, FALSE) != 0;
}

// ---- Console control handler --------------------------------------------------------------------
// The system calls its handlers with the WINAPI convention, which on 32-bit Windows is not the
// one of HandlerRoutine. So the layer keeps its own list and gives the system one handler of
// its own, installed with the first entry, that calls the entries newest first on the system's
// signal thread until one returns nonzero; when none does, it passes the signal on.
static_assert(ctrlCEvent == CTRL_C_EVENT && ctrlBreakEvent == CTRL_BREAK_EVENT &&
              ctrlCloseEvent == CTRL_CLOSE_EVENT && ctrlLogoffEvent == CTRL_LOGOFF_EVENT &&
              ctrlShutdownEvent == CTRL_SHUTDOWN_EVENT);
namespace {
constexpr CARD32 maxHandlers = 16;
// Guards the list; never held while a handler runs, so that a handler that halts the program
// does not keep the next signal's thread from reading the list.
SRWLOCK handlersLock = SRWLOCK_INIT;
HandlerRoutine handlers[maxHandlers];  // oldest first
CARD32 nHandlers = 0;

BOOL WINAPI Dispatch(DWORD ct) {
  HandlerRoutine hs[maxHandlers];
  ::AcquireSRWLockShared(&handlersLock);
  const CARD32 n = nHandlers;
  for (CARD32 i = 0; i < n; ++i) hs[i] = handlers[i];
  ::ReleaseSRWLockShared(&handlersLock);
  for (CARD32 i = n; i-- > 0;)
    if (hs[i](ct) != 0) return TRUE;
  return FALSE;
}
}  // namespace

bool SetConsoleCtrlHandler(HandlerRoutine h, bool add) {
  DWORD e = ERROR_SUCCESS;
  ::AcquireSRWLockExclusive(&handlersLock);
  if (h == nullptr) {
    e = ERROR_INVALID_PARAMETER;
  } else if (add) {
    if (nHandlers == maxHandlers)
      e = ERROR_NOT_ENOUGH_MEMORY;
    else if (nHandlers == 0 && !::SetConsoleCtrlHandler(Dispatch, TRUE))
      e = ::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_GEN_FAILURE;
    if (e == ERROR_SUCCESS) handlers[nHandlers++] = h;
  } else {
    CARD32 i = nHandlers;
    while (i > 0 && handlers[i - 1] != h) --i;
    if (i == 0) {
      e = ERROR_INVALID_PARAMETER;
    } else {
      for (; i < nHandlers; ++i) handlers[i - 1] = handlers[i];
      if (--nHandlers == 0) ::SetConsoleCtrlHandler(Dispatch, FALSE);
    }
  }
  ::ReleaseSRWLockExclusive(&handlersLock);
  if (e != ERROR_SUCCESS) ::SetLastError(e);
  return e == ERROR_SUCCESS;
}

// ---- Files --------------------------------------------------------------------------------------
bool FileExists(const char* name) {
  return ::GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

// Share mode 0: no other process can open the file while it is open here.
File OpenFileForAppend(const char* name) {
  HANDLE h =
      ::CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return InvalidFile;
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(h, zero, nullptr, FILE_END)) {
    const DWORD e = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(e);
    return InvalidFile;
  }
  return reinterpret_cast<File>(h);
}

File CreateNewFile(const char* name) {
  HANDLE h =
      ::CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? InvalidFile : reinterpret_cast<File>(h);
}

bool GetFileSize(File f, std::uint64_t& n) {
  LARGE_INTEGER s;
  if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(f), &s)) return false;
  n = static_cast<std::uint64_t>(s.QuadPart);
  return true;
}

bool CloseHandle(File f) {
  return ::CloseHandle(reinterpret_cast<HANDLE>(f)) != 0;
}

bool DeleteFileA(const char* name) {
  return ::DeleteFileA(name) != 0;
}

bool MoveFileA(const char* from, const char* to) {
  return ::MoveFileA(from, to) != 0;
}

// ---- Command line and current directory ---------------------------------------------------------

// The argument list is the command line of GetCommandLineA, cut by CmdLine::Split on first
// use. The C run-time's argv is not used: its rules for backslashes before a quote and for
// doubled quotes differ from the ones the programs document.
namespace {
std::vector<std::string> args;
bool haveArgs = false;

const std::vector<std::string>& List() {
  if (!haveArgs) {
    const char* c = ::GetCommandLineA();
    args = CmdLine::Split(Text(c, static_cast<CARD32>(std::strlen(c))));
    haveArgs = true;
  }
  return args;
}
}  // namespace

void MainArgs(int, const CHAR* const*) {}

void SetArgs(CARD32 n, const CHAR* const* v) {
  args.assign(v, v + n);
  haveArgs = true;
}

CARD32 ArgCount() {
  return List().empty() ? 0 : static_cast<CARD32>(List().size() - 1);
}

Text GetArg(CARD32 i) {
  if (i >= List().size()) return Text("", 0);
  return Text(args[i].data(), static_cast<CARD32>(args[i].size()));
}

// GetCurrentDirectoryA reports the drive letter, ":" and the path from the root ("D:\work",
// "D:\"). Asked with a buffer that is too small, it returns the size needed instead, so the
// path is read whole first and cut to the caller's array afterwards.
BOOL8 GetCurrentDirectory(CHAR* s, CARD32 m) {
  if (m > 0) s[0] = '\0';
  const DWORD need = ::GetCurrentDirectoryA(0, nullptr);
  if (need == 0) return false;
  std::string p(need, '\0');
  const DWORD n = ::GetCurrentDirectoryA(need, p.data());
  if (n == 0 || n >= need) return false;  // failed, or the directory changed in between
  const std::size_t k = std::min<std::size_t>(n, m);
  std::memcpy(s, p.data(), k);
  if (k < m) s[k] = '\0';
  return true;
}

}  // namespace Os
