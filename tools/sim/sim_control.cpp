// Reading control lines.
#include "sim_control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t line_limit = 4096;  // a longer line is cut into pieces

bool in_background_of_terminal(int fd)
{
    if (!isatty(fd))
        return false;
    pid_t foreground = tcgetpgrp(fd);
    return foreground >= 0 && foreground != getpgrp();
}

} // namespace

void sim_control_open_stdin(sim_control_type& control)
{
    struct stat info {};
    if (fstat(STDIN_FILENO, &info) != 0 || in_background_of_terminal(STDIN_FILENO))
        return;  // reading would stop the whole process with SIGTTIN
    control.fd = STDIN_FILENO;
    control.ends_sim = S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || isatty(STDIN_FILENO);
    fcntl(control.fd, F_SETFL, fcntl(control.fd, F_GETFL) | O_NONBLOCK);
}

bool sim_control_open_fifo(sim_control_type& control, const std::string& path, std::string& error)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (mkfifo(path.c_str(), 0600) != 0) {
            error = "cannot make the FIFO " + path + ": " + std::strerror(errno);
            return false;
        }
        control.made_fifo = true;
    } else if (!S_ISFIFO(info.st_mode)) {
        error = path + " exists and is not a FIFO";
        return false;
    }
    control.path = path;
    control.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    control.keep_open = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (control.fd < 0 || control.keep_open < 0) {
        error = "cannot open the FIFO " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void sim_control_close(sim_control_type& control)
{
    if (control.fd > STDIN_FILENO)
        close(control.fd);
    if (control.keep_open >= 0)
        close(control.keep_open);
    if (control.made_fifo)
        unlink(control.path.c_str());
    control.fd = -1;
    control.keep_open = -1;
    control.made_fifo = false;
}

bool sim_control_read(sim_control_type& control, std::vector<std::string>& lines)
{
    if (control.fd < 0)
        return true;
    char buffer[1024];
    for (;;) {
        ssize_t got = read(control.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (got <= 0) {
            if (!control.partial.empty())
                lines.push_back(control.partial);
            control.partial.clear();
            sim_control_close(control);
            return false;
        }
        for (ssize_t i = 0; i < got; i++) {
            char c = buffer[i];
            if (c == '\n' || control.partial.size() >= line_limit) {
                lines.push_back(control.partial);
                control.partial.clear();
            }
            if (c != '\n' && c != '\r')
                control.partial += c;
        }
    }
}
