// The Wine session the Windows tests share (made by the wine_session fixture): its prefix, its COM ports
// and its virtual display, where windows are found with xdotool and closed as a window manager would.
#pragma once

#include <string>

namespace wine {

std::string session_dir();
std::string prefix();
std::string display();  // for example ":3"; empty when the session has none

// Points the prefix's COMn at the device (a pseudo-terminal's slave, say); true when the link is in place.
bool map_com_port(int number, const std::string& device);

// Runs an X client with the session's display; returns its standard output, trimmed.
std::string run_x(const std::string& command);
// The X window of the top-level window with this exact title, or 0 after the time-out.
unsigned long find_window(const std::string& title, int timeout_ms = 15000);
// The window's inside size as X sees it (Wine gives a top-level window's client area its own X window).
bool window_size(unsigned long window, int* width, int* height);
// Sends WM_DELETE_WINDOW, the close request a window manager sends for the close box.
bool request_close(unsigned long window);

} // namespace wine
