// The Windows tests' Wine session, seen from Linux.
#include "wine_support.h"

#include "integration_support.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>

namespace wine {

std::string session_dir()
{
    return QUILLON_WINE_SESSION_DIR;
}

std::string prefix()
{
    return session_dir() + "/prefix";
}

std::string display()
{
    std::string name = integration::read_file(session_dir() + "/display");
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.pop_back();
    return name;
}

bool map_com_port(int number, const std::string& device)
{
    std::filesystem::path link = std::filesystem::path(prefix()) / "dosdevices" / ("com" + std::to_string(number));
    std::error_code error;
    std::filesystem::remove(link, error);
    std::filesystem::create_symlink(device, link, error);
    return !error;
}

std::string run_x(const std::string& command)
{
    std::string full = "DISPLAY=" + display() + " " + command + " 2>/dev/null";
    std::string result;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(full.c_str(), "r"), pclose);
    if (!pipe)
        return result;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr)
        result += buffer;
    while (!result.empty() && (result.back() == '\n' || result.back() == ' '))
        result.pop_back();
    return result;
}

unsigned long find_window(const std::string& title, int timeout_ms)
{
    std::string found;
    integration::wait_until([&] {
        found = run_x("xdotool search --onlyvisible --name '^" + title + "$'");
        return !found.empty();
    }, std::chrono::milliseconds(timeout_ms));
    return found.empty() ? 0 : std::strtoul(found.substr(0, found.find('\n')).c_str(), nullptr, 10);
}

bool window_size(unsigned long window, int* width, int* height)
{
    std::string info = run_x("xwininfo -id " + std::to_string(window));
    std::smatch w, h;
    if (!std::regex_search(info, w, std::regex(R"(Width: (\d+))")) ||
        !std::regex_search(info, h, std::regex(R"(Height: (\d+))")))
        return false;
    *width = std::stoi(w[1]);
    *height = std::stoi(h[1]);
    return true;
}

bool request_close(unsigned long window)
{
    Display* connection = XOpenDisplay(display().c_str());
    if (connection == nullptr)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(connection, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(connection, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    Status sent = XSendEvent(connection, window, False, NoEventMask, &event);
    XCloseDisplay(connection);
    return sent != 0;
}

} // namespace wine
