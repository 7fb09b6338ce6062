// Driving the terminal for quillon-operator.
#include "terminal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

termios saved_mode;
std::atomic<bool> raw_mode{false};
int signal_pipe[2] = {-1, -1};
volatile sig_atomic_t caught_signal = 0;
bool status_shown = false;

// How long the rest of an escape sequence may lag behind its Esc before the Esc counts as a key.
constexpr int escape_wait_ms = 30;

void on_signal(int number)
{
    int saved_errno = errno;
    caught_signal = number;
    if (signal_pipe[1] >= 0) {
        char byte = 1;
        ssize_t ignored = write(signal_pipe[1], &byte, 1);
        (void)ignored;
    }
    errno = saved_errno;
}

int install_signals()
{
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(number, &action, nullptr);
    return 0;
}

bool input_waiting(int timeout_ms)
{
    pollfd waiting{STDIN_FILENO, POLLIN, 0};
    return poll(&waiting, 1, timeout_ms) > 0;
}

// Skips an escape sequence whose Esc sits at buffer[start]; returns the index after it.
long skip_escape_sequence(const unsigned char* buffer, long count, long start)
{
    long i = start + 1;
    if (i < count && (buffer[i] == '[' || buffer[i] == 'O')) {
        i++;
        while (i < count && !(buffer[i] >= 0x40 && buffer[i] <= 0x7E))
            i++;
        return i < count ? i + 1 : count;
    }
    return i < count ? i + 1 : count;  // Alt and a key
}

} // namespace

int terminal_start(std::string* error)
{
    if (!isatty(STDIN_FILENO)) {
        *error = "driving needs a terminal on standard input; use --send or --bench from scripts";
        return 1;
    }
    if (tcgetattr(STDIN_FILENO, &saved_mode) != 0 || install_signals() != 0) {
        *error = "cannot set up the terminal";
        return 1;
    }
    std::atexit(terminal_restore);
    termios raw = saved_mode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) {
        *error = "cannot put the terminal into raw mode";
        return 1;
    }
    raw_mode = true;
    return 0;
}

void terminal_restore()
{
    if (raw_mode.exchange(false))
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_mode);
}

int terminal_signal_descriptor()
{
    return signal_pipe[0];
}

int terminal_signal()
{
    return caught_signal;
}

bool terminal_read_keys(std::vector<int>* keys)
{
    unsigned char buffer[64];
    long count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0)
        return errno == EINTR || errno == EAGAIN;
    if (count == 0)
        return false;
    if (buffer[count - 1] == 0x1B && count < static_cast<long>(sizeof buffer) && input_waiting(escape_wait_ms)) {
        long more = read(STDIN_FILENO, buffer + count, sizeof buffer - static_cast<size_t>(count));
        if (more > 0)
            count += more;
    }
    for (long i = 0; i < count;) {
        if (buffer[i] != 0x1B) {
            keys->push_back(buffer[i++]);
        } else if (i + 1 == count) {
            keys->push_back(0x1B);
            i++;
        } else {
            i = skip_escape_sequence(buffer, count, i);
        }
    }
    return true;
}

void terminal_status(const std::string& text)
{
    std::printf("\r%s\033[K", text.c_str());
    std::fflush(stdout);
    status_shown = true;
}

void terminal_end_status()
{
    if (status_shown)
        std::printf("\n");
    std::fflush(stdout);
    status_shown = false;
}
