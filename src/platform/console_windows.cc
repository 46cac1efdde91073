#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/console.h"

namespace radodaro::platform {

namespace {

// Keys that change what other keys send but send nothing themselves.
bool is_modifier(WORD key) {
  switch (key) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
      return true;
    default:
      return false;
  }
}

}  // namespace

void wait_for_key() {
  // The console itself, not standard input, which may be a file or pipe.
  HANDLE console =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) return;
  // Only a console has a mode; the null device, say, has none.
  DWORD mode = 0;
  if (GetConsoleMode(console, &mode)) {
    // Each key press is one event, whatever it sends, so a key that sends
    // two codes counts once. Releases, and modifiers alone, do not count;
    // nothing is echoed, since the events are read raw.
    for (;;) {
      INPUT_RECORD record;
      DWORD n = 0;
      if (!ReadConsoleInputW(console, &record, 1, &n) || n == 0) break;
      if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
          !is_modifier(record.Event.KeyEvent.wVirtualKeyCode)) {
        break;
      }
    }
  }
  CloseHandle(console);
}

bool error_output_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool binary_output() { return _setmode(_fileno(stdout), _O_BINARY) != -1; }

}  // namespace radodaro::platform
