// What the win32 backend's files share with one another (and with its tests); not for application code.
#pragma once

#include "platform/serial_port.h"
#include "platform/win32/compat.h"

#include <string>

struct platform_window;

// The text of a Win32 or Winsock error code with the code itself, for log lines. The one place where
// codes become text; the result stays valid until the next call on the same thread.
const char* win32_error_text(DWORD code);

// The native window behind a platform window (a message-only one when headless), or null once destroyed.
// Safe from any thread.
HWND win32_window_handle(const platform_window* window);

// Called by the native window procedure for a message at or above WM_USER: when it is a socket event of
// a socket the loop watches for this window, delivers it with the event code alone and returns true.
bool win32_socket_message(platform_window* window, UINT message, WPARAM wparam, LPARAM lparam);

// The serial port's pure decisions, kept apart so that tests can check them without a port.
// The device path of a configured port name: "COM3" becomes \\.\COM3 (which also reaches COM10 and up);
// a name holding a path separator or a drive colon is used as given.
std::string win32_serial_path(const char* name);
// Applies raw 8N1 at the baud rate, DTR and RTS on, no flow control, no abort on errors; every other
// field keeps what the driver reported.
void win32_serial_settings(DCB* dcb, unsigned int baud);
// Reads return at once with what has arrived; writes have no time limit (the stop event ends them).
COMMTIMEOUTS win32_serial_timeouts();
// How a failed port operation is reported: errors that mean the device is gone are a hang-up.
serial_wait_result win32_serial_failure(DWORD code);
