// Os: the platform layer. Every call the modules make to the operating system goes through
// these functions. They are named after the Windows calls they stand for and cut down to
// what the modules pass; win32.cpp forwards to the Windows API, posix.cpp gives the same
// observable behaviour on Linux. No system header is included here, so a module that uses
// the layer cannot reach around it.
//
// Sections, in the same order in both implementation files:
//   errors, storage, critical sections, process, standard handles, timer resolution and clock,
//   system time, handles and waits, named objects (mappings and mutexes), waitable timer,
//   console control handler, files, command line and current directory.
#pragma once

#include <cstdint>

#include "../Types.h"

namespace Os {

// Constants that Windows defines as macros carry names of their own here (errAlreadyExists
// for ERROR_ALREADY_EXISTS, ...), so that this header can stand beside <windows.h>.

// ---- Errors -------------------------------------------------------------------------------------
// The calling thread's last-error value: 0 and 183 (errAlreadyExists) where the modules
// observe them, the native error number of the failing call otherwise.
CARD32 GetLastError();
constexpr CARD32 errAlreadyExists = 183;

// ---- Storage ------------------------------------------------------------------------------------
// A new block of n bytes from general storage, or null when storage is exhausted or n is 0.
// Blocks are never given back.
void* Allocate(CARD32 n);

// ---- Critical sections --------------------------------------------------------------------------
// A re-entrant lock owned by a thread. The record is allocated by the caller with
// CriticalSectionSize() bytes and never destroyed.
CARD32 CriticalSectionSize();
void InitializeCriticalSection(void* cs);
void EnterCriticalSection(void* cs);
void LeaveCriticalSection(void* cs);

// ---- Process ------------------------------------------------------------------------------------
// Ends the process at once with the exit code; nothing else of the program runs.
[[noreturn]] void ExitProcess(BYTE code);

// ---- Standard handles ---------------------------------------------------------------------------
// Handles of the file operations; InvalidFile is a value that no open file ever has.
using File = std::intptr_t;
extern const File InvalidFile;
File StdIn();
File StdOut();
File StdErr();
// Writes all n bytes of p to f; false when that failed (last error set).
bool WriteFile(File f, const void* p, CARD32 n);

// ---- Timer resolution and clock -----------------------------------------------------------------
constexpr CARD32 timerrNoError = 0;   // TIMERR_NOERROR
constexpr CARD32 timerrNoCanDo = 97;  // TIMERR_NOCANDO
// Asks for a timer resolution of ms milliseconds for the process; TIMERR_NOERROR on success.
CARD32 timeBeginPeriod(CARD32 ms);
// Gives back a resolution asked for with timeBeginPeriod; TIMERR_NOCANDO if none was asked.
CARD32 timeEndPeriod(CARD32 ms);
// Milliseconds since the system started, wrapping at 2^32.
CARD32 timeGetTime();

// ---- System time --------------------------------------------------------------------------------
struct SYSTEMTIME {
  CARD16 wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
// The current date and time in UTC.
void GetSystemTime(SYSTEMTIME& t);

// ---- Handles and waits --------------------------------------------------------------------------
// A handle of a kernel object (a mutex, a waitable timer); null stands for no handle.
using Handle = void*;
constexpr CARD32 infinite = 0xFFFFFFFFu;    // INFINITE
constexpr CARD32 waitObject0 = 0;           // WAIT_OBJECT_0
constexpr CARD32 waitAbandoned = 0x80;      // WAIT_ABANDONED
constexpr CARD32 waitFailed = 0xFFFFFFFFu;  // WAIT_FAILED
// Waits until h is signalled (a mutex: owned by the calling thread; a timer: expired, which
// also resets it), or ms milliseconds have passed.
CARD32 WaitForSingleObject(Handle h, CARD32 ms);

// ---- Named objects ------------------------------------------------------------------------------
// File mappings and mutexes with names in the session-local namespace ("Local\Name"). Whoever
// asks first creates an object; everyone later opens the same object by name. An object lives
// until the last process that holds it ends; nothing here closes, unmaps or deletes one.
constexpr CARD32 errNotOwner = 288;  // ERROR_NOT_OWNER

// The paging-file backed, read-write mapping of that name, created with size bytes (zero-filled)
// if it does not exist, opened with the size its creator gave if it does. Null on failure.
// Afterwards the last error is 0 if the mapping was created, errAlreadyExists if it existed.
Handle CreateFileMappingA(const CHAR* name, CARD32 size);
// A read-write view of the first size bytes of the mapping (size 0: all of it); null on
// failure, also when size is larger than the mapping.
void* MapViewOfFile(Handle mapping, CARD32 size);

// The mutex of that name, created (not owned by anybody) if it does not exist, opened if it
// does; null on failure. The last error is set as by CreateFileMappingA. Ownership belongs to
// a thread and is re-entrant. WaitForSingleObject on the handle returns waitObject0 when the
// calling thread owns the mutex, waitAbandoned when it owns it after the previous owner ended
// while owning it, waitTimeout when ms ran out first, and waitFailed on failure.
Handle CreateMutexA(const CHAR* name);
// Gives back one level of the calling thread's ownership; false on failure, with the last error
// errNotOwner when the thread does not own the mutex (nothing changes then).
bool ReleaseMutex(Handle mutex);

// ---- Waitable timer -----------------------------------------------------------------------------
// The result of a wait whose time limit ran out first (WAIT_TIMEOUT).
constexpr CARD32 waitTimeout = 0x102;
// A new unnamed auto-reset timer, private to the process and not yet armed; null on failure
// (last error set). A wait returns once the timer has expired and resets it; expiries that
// pass while it is already signalled count as one.
Handle CreateWaitableTimerA();
// Arms the timer h. due is the first expiry in 100 ns units: negative counts from now, 0 and
// above is an absolute UTC time since 1601-01-01 (one already past expires at once). Then
// the timer expires every periodMs milliseconds, or never again when periodMs is 0. Arming
// resets the signalled state. False on failure (last error set).
bool SetWaitableTimer(Handle h, std::int64_t due, INT32 periodMs);

// ---- Console control handler --------------------------------------------------------------------
// Console signal types (CTRL_C_EVENT, ...).
constexpr CARD32 ctrlCEvent = 0;
constexpr CARD32 ctrlBreakEvent = 1;
constexpr CARD32 ctrlCloseEvent = 2;
constexpr CARD32 ctrlLogoffEvent = 5;
constexpr CARD32 ctrlShutdownEvent = 6;
// A console control handler: takes the signal type, returns nonzero when it has handled the
// signal, 0 to pass it on to the next handler.
using HandlerRoutine = INT32 (*)(CARD32 ctrlType);
// add: puts h in front of the process's list of control handlers; otherwise takes the newest
// entry of h off the list. For each signal the system starts a thread of its own that calls
// the handlers, newest first, until one returns nonzero; when none does, the signal has its
// default effect and ends the process. False on failure (last error set).
bool SetConsoleCtrlHandler(HandlerRoutine h, bool add);

// ---- Files --------------------------------------------------------------------------------------
// Names are relative to the current directory at the moment of the call. A file opened here is
// opened for writing without sharing: while it is open no other process can open it (on Linux
// an exclusive lock that the other process's open tests). Each call but FileExists reports
// failure by its result, with the last error set.
bool FileExists(const char* name);
// Opens an existing file for writing, every write going to its end; InvalidFile on failure.
File OpenFileForAppend(const char* name);
// Creates a new, empty file for writing; fails if the name is taken. InvalidFile on failure.
File CreateNewFile(const char* name);
bool GetFileSize(File f, std::uint64_t& n);
bool CloseHandle(File f);
bool DeleteFileA(const char* name);
// Renames a file; fails if the new name is taken.
bool MoveFileA(const char* from, const char* to);

// ---- Command line and current directory ---------------------------------------------------------
// The argument list: the words of the process's command line, word 0 being the program's name.
// posix: the argument vector that the entry point hands over (an empty word is a word).
// win32: the command line of GetCommandLineA, cut into words by CmdLine::Split; the C run-time's
// own argument vector follows other rules and is not used.

// Called by the entry point before it starts the main module. posix: argv becomes the argument
// list. win32: nothing to do; the list is read from the command line on first use.
void MainArgs(int argc, const CHAR* const* argv);
// Replaces the argument list with the n words of v (v[0] the program's name), on either
// platform; for tests that run the modules in-process. The words are copied.
void SetArgs(CARD32 n, const CHAR* const* v);
// The number of arguments, the program's name not counted.
CARD32 ArgCount();
// Argument i, counted from 1 (0: the program's name); an empty text beyond the last. Valid
// until the next SetArgs.
Text GetArg(CARD32 i);

// Copies the full path of the current directory into s (m characters), cut at m like every
// text: a path of m characters or more fills s and carries no NUL. win32: drive letter, ":",
// the path from the root of the drive ("D:\work", "D:\"); posix: the path as getcwd reports
// it. False when the system cannot tell the directory (last error set); s is then empty.
BOOL8 GetCurrentDirectory(CHAR* s, CARD32 m);

}  // namespace Os
