#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

#include "platform/console.h"
#include "platform/process.h"
#include "platform/windows_internal.h"

// The C runtime's own wide command line (msvcrt exports it).
struct StartupInfo {
  int new_mode = 0;
};
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's name
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int glob,
                              StartupInfo* startup);

namespace radodaro::platform {

namespace {

// What Windows itself gives a console program that Ctrl-C ends.
constexpr UINT kInterruptedStatus = 0xC000013A;

std::atomic<HANDLE> g_cut_file{INVALID_HANDLE_VALUE};
std::atomic<uint64_t> g_cut_length{0};
std::atomic<bool> g_held{false};
// The run's temporary files (windows::set_temp_file()), under the files lock.
struct TempPath {
  std::wstring path;
  bool live = false;
};
TempPath g_temp_paths[windows::kMaxTempFiles];
UINT g_console_code_page = 0;  // the console's own, while ours is UTF-8
int g_output_errno = 0;

char g_output_buffer[1 << 16];

// Runs on a thread of its own. It takes the file lock, so no file
// operation of the main thread is under way while it undoes the run, and
// none starts after it: it ends the process with the lock held.
// The run is finishing a commit, or putting the pack back: let it end on
// its own. Ctrl-C and Ctrl-Break are then ignored; for a closed console, a
// log-off or a shutdown the system ends the process when the handler
// returns, so it waits instead, until the run exits or the system's grace
// period ends (after which the journal puts the pack back on the next run).
BOOL let_the_run_finish(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(INFINITE);
  return TRUE;
}

std::atomic<size_t> g_drawn_line{0};

BOOL WINAPI on_console_event(DWORD event) {
  if (g_held.load()) return let_the_run_finish(event);
  windows::lock_files();
  if (g_held.load()) {
    windows::unlock_files();
    return let_the_run_finish(event);
  }
  const HANDLE pack = g_cut_file.load();
  if (pack != INVALID_HANDLE_VALUE) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(g_cut_length.load());
    if (SetFilePointerEx(pack, at, nullptr, FILE_BEGIN)) SetEndOfFile(pack);
    FlushFileBuffers(pack);
  }
  for (const TempPath& t : g_temp_paths) {
    if (t.live) DeleteFileW(t.path.c_str());
  }
  // What was printed goes out: the lines of the members named. The main
  // thread names a member and prints its line with the lock held.
  std::fflush(stdout);
  if (const size_t width = g_drawn_line.load(); width > 0) {
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(width), "");
    std::fflush(stderr);
  }
  if (g_console_code_page != 0) SetConsoleOutputCP(g_console_code_page);
  // A member being written is still marked for deletion: the system
  // removes it as the process ends.
  TerminateProcess(GetCurrentProcess(), kInterruptedStatus);
  return TRUE;
}

bool has_console(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

void prepare_process() {
  // A program started without standard output has nowhere to print; its
  // lines go to the null device, as they would from a shell.
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  bool usable = out != nullptr && out != INVALID_HANDLE_VALUE && _fileno(stdout) >= 0;
  if (usable) {
    SetLastError(NO_ERROR);
    usable = GetFileType(out) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
  }
  if (!usable) (void)std::freopen("NUL", "w", stdout);
  // Text mode, as the C runtime gives it: each "\n" goes out as "\r\n".
  (void)_setmode(_fileno(stdout), _O_TEXT);
  // The console gets the lines as they come; files and pipes get them in
  // large blocks.
  if (!has_console(STD_OUTPUT_HANDLE)) {
    std::setvbuf(stdout, g_output_buffer, _IOFBF, sizeof g_output_buffer);
  }
  // Text is UTF-8 inside the tool: a console shows it as such while the
  // run lasts, and gets its own code page back at the end. Files and pipes
  // get the bytes, UTF-8.
  if (has_console(STD_OUTPUT_HANDLE) || has_console(STD_ERROR_HANDLE)) {
    const UINT own = GetConsoleOutputCP();
    if (own != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) g_console_code_page = own;
  }
}

std::vector<std::string> arguments(int argc, char** argv) {
  // The system holds the command line in wide characters; the narrow argv
  // has lost whatever the code page cannot say. The C runtime splits the
  // wide one by the same rules as the narrow one.
  int n = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo startup;
  if (__wgetmainargs(&n, &wide, &environment, 0, &startup) != 0 || n != argc || wide == nullptr) {
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) args.push_back(windows::narrow(wide[i], wcslen(wide[i])));
  return args;
}

bool console_of_our_own() {
  DWORD processes[2];
  return console_is_ours_alone(GetConsoleProcessList(processes, 2));
}

void before_exit() {
  DWORD processes[2];
  if (console_is_ours_alone(GetConsoleProcessList(processes, 2))) {
    HANDLE console =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
      static const char kPrompt[] = "Press any key to close this window.\r\n";
      DWORD written = 0;
      WriteFile(console, kPrompt, sizeof kPrompt - 1, &written, nullptr);
      CloseHandle(console);
      wait_for_key();
    }
  }
  if (g_console_code_page != 0) SetConsoleOutputCP(g_console_code_page);
}

bool flush_output() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  // The reason of the first failure, before anything else changes errno.
  if (g_output_errno == 0) g_output_errno = errno != 0 ? errno : EIO;
  return false;
}

std::string output_error() { return std::strerror(g_output_errno != 0 ? g_output_errno : EIO); }

void handle_interruptions() { SetConsoleCtrlHandler(on_console_event, TRUE); }

CutBackOnInterrupt::CutBackOnInterrupt(const Handle& file, uint64_t length) {
  windows::FilesLocked locked;
  g_cut_length = length;
  g_cut_file = windows::handle_of(file);
}

CutBackOnInterrupt::~CutBackOnInterrupt() {
  windows::FilesLocked locked;
  g_cut_file = INVALID_HANDLE_VALUE;
}

InterruptsDeferred::InterruptsDeferred() { windows::lock_files(); }

InterruptsDeferred::~InterruptsDeferred() { windows::unlock_files(); }

void hold_interruptions() {
  windows::FilesLocked locked;
  g_held = true;
}

std::thread start_worker(std::function<void()> fn) {
  // The console handler runs on a thread of its own and ends the process
  // with the file lock held; workers take no part in it.
  return std::thread(std::move(fn));
}

bool run_reading_mapped(const uint8_t*, uint64_t, const uint8_t*, uint64_t, void (*fn)(void*),
                        void* arg) {
  // A mapped file cannot be cut short on Windows: the system refuses to
  // shorten a file while a view of it exists, and the pack is held against
  // writers besides.
  fn(arg);
  return true;
}

namespace windows {

int set_temp_file(const std::string& path) {
  FilesLocked locked;
  for (int slot = 0; slot < kMaxTempFiles; ++slot) {
    if (g_temp_paths[slot].live) continue;
    g_temp_paths[slot].path = system_path(path);
    g_temp_paths[slot].live = true;
    return slot;
  }
  return -1;
}

void clear_temp_file(int slot) {
  FilesLocked locked;
  if (slot >= 0) g_temp_paths[slot].live = false;
}

}  // namespace windows

void set_drawn_line(size_t width) { g_drawn_line = width; }

}  // namespace radodaro::platform
