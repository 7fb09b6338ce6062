// The serial port on POSIX: termios for the line settings, poll(2) over the port and an eventfd stop
// event for the waits, non-blocking reads and writes.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

struct serial_event_type {
    int fd;  // eventfd; readable once signalled, and it is never read, so it stays signalled
};

struct serial_port_type {
    int fd;
    bool configured = false;  // settings holds the line settings that serial_port_setup applied
    termios settings{};       // those settings, with VMIN as the last wait set it
};

namespace {

speed_t baud_constant(unsigned int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
    }
}

// poll(2) that resumes after a signal with the time that was left.
int poll_restarting(pollfd* fds, nfds_t count, int timeout_ms)
{
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int ready = poll(fds, count, timeout_ms);
        if (ready >= 0 || errno != EINTR)
            return ready;
        if (timeout_ms < 0)
            continue;
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        timeout_ms = elapsed >= timeout_ms ? 0 : timeout_ms - static_cast<int>(elapsed);
    }
}

// Raises DTR and RTS. Pseudo-terminals have no modem lines and refuse the request; that is no failure.
void raise_modem_lines(int fd)
{
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
}

// Sets VMIN for the coming wait; true when more than one byte is asked for. A port never set up keeps its
// settings and wakes on every byte.
bool set_wake_count(serial_port_type* port, unsigned int min_bytes)
{
    if (port == nullptr || !port->configured)
        return false;
    cc_t count = static_cast<cc_t>(min_bytes < 1 ? 1 : min_bytes > 255 ? 255 : min_bytes);
    if (port->settings.c_cc[VMIN] != count) {
        termios wanted = port->settings;
        wanted.c_cc[VMIN] = count;
        if (tcsetattr(port->fd, TCSANOW, &wanted) != 0)
            return false;
        port->settings = wanted;
    }
    return count > 1;
}

bool bytes_waiting(int fd)
{
    int count = 0;
    return ioctl(fd, FIONREAD, &count) == 0 && count > 0;
}

} // namespace

serial_event_type* serial_event_create()
{
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return nullptr;
    return new serial_event_type{fd};
}

void serial_event_signal(serial_event_type* event)
{
    if (event == nullptr)
        return;
    uint64_t one = 1;
    ssize_t written = write(event->fd, &one, sizeof one);
    (void)written;  // a full counter is still signalled
}

void serial_event_reset(serial_event_type* event)
{
    if (event == nullptr)
        return;
    uint64_t count = 0;
    ssize_t got = read(event->fd, &count, sizeof count);
    (void)got;  // nothing to read means it was not signalled
}

bool serial_event_signalled(serial_event_type* event)
{
    return serial_event_wait(event, 0);
}

bool serial_event_wait(serial_event_type* event, unsigned int timeout_ms)
{
    if (event == nullptr)
        return false;
    pollfd watch{event->fd, POLLIN, 0};
    return poll_restarting(&watch, 1, static_cast<int>(timeout_ms)) > 0 && (watch.revents & POLLIN) != 0;
}

void serial_event_destroy(serial_event_type* event)
{
    if (event == nullptr)
        return;
    close(event->fd);
    delete event;
}

serial_port_type* serial_port_open(const char* name)
{
    if (name == nullptr || name[0] == 0) {
        errno = ENOENT;
        return nullptr;
    }
    // A relative name is a device under /dev/: "ttyUSB0", "pts/3".
    std::string path = name[0] == '/' ? std::string(name) : "/dev/" + std::string(name);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (isatty(fd))
        ioctl(fd, TIOCEXCL);  // no sharing, as far as the kernel allows
    return new serial_port_type{fd, false, {}};
}

void serial_port_close(serial_port_type* port)
{
    if (port == nullptr)
        return;
    close(port->fd);
    delete port;
}

serial_setup_result serial_port_setup(serial_port_type* port, unsigned int baud)
{
    termios settings{};
    if (port == nullptr || tcgetattr(port->fd, &settings) != 0)
        return serial_setup_result::get_failed;
    speed_t speed = baud_constant(baud);
    if (speed == B0) {
        errno = EINVAL;
        return serial_setup_result::set_failed;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0)
        return serial_setup_result::set_failed;
    if (tcsetattr(port->fd, TCSANOW, &settings) != 0)
        return serial_setup_result::set_failed;
    port->settings = settings;
    port->configured = true;
    raise_modem_lines(port->fd);
    // What the board sent while nobody listened (a restart's downtime) is stale: start from an empty queue.
    tcflush(port->fd, TCIFLUSH);
    return serial_setup_result::ok;
}

serial_wait_result serial_port_wait(serial_port_type* port, serial_event_type* stop, unsigned int timeout_ms,
                                    unsigned int min_bytes)
{
    // With VTIME 0 the terminal reports itself readable only once VMIN bytes are waiting.
    bool counting = set_wake_count(port, min_bytes);
    pollfd watch[2] = {{stop != nullptr ? stop->fd : -1, POLLIN, 0}, {port != nullptr ? port->fd : -1, POLLIN, 0}};
    int ready = poll_restarting(watch, 2, static_cast<int>(timeout_ms));
    if (ready < 0)
        return serial_wait_result::failed;
    if (watch[0].revents & POLLIN)
        return serial_wait_result::stopped;
    if (ready == 0)
        return counting && bytes_waiting(port->fd) ? serial_wait_result::received : serial_wait_result::timeout;
    short events = watch[1].revents;
    // A hung-up terminal also reports POLLIN, with nothing but the end of file to read.
    if (events & POLLHUP)
        return serial_wait_result::hangup;
    if (events & (POLLERR | POLLNVAL))
        return serial_wait_result::failed;
    return serial_wait_result::received;
}

int serial_port_read(serial_port_type* port, unsigned char* buffer, unsigned int size)
{
    if (port == nullptr) {
        errno = EBADF;
        return -1;
    }
    unsigned int count = 0;
    while (count < size) {
        ssize_t got = read(port->fd, buffer + count, size - count);
        if (got > 0) {
            count += static_cast<unsigned int>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (got == 0)
            errno = EIO;  // end of file: the other side has hung up
        return count > 0 ? static_cast<int>(count) : -1;
    }
    return static_cast<int>(count);
}

serial_write_result serial_port_write(serial_port_type* port, serial_event_type* stop, const unsigned char* data,
                                      unsigned int length)
{
    if (port == nullptr) {
        errno = EBADF;
        return serial_write_result::failed;
    }
    unsigned int done = 0;
    while (done < length) {
        if (serial_event_signalled(stop))
            return serial_write_result::stopped;
        ssize_t put = write(port->fd, data + done, length - done);
        if (put > 0) {
            done += static_cast<unsigned int>(put);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return serial_write_result::failed;
        pollfd watch[2] = {{stop != nullptr ? stop->fd : -1, POLLIN, 0}, {port->fd, POLLOUT, 0}};
        if (poll_restarting(watch, 2, -1) < 0)
            return serial_write_result::failed;
        if (watch[0].revents & POLLIN)
            return serial_write_result::stopped;
        if ((watch[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(watch[1].revents & POLLOUT)) {
            errno = EIO;
            return serial_write_result::failed;
        }
    }
    return serial_write_result::written;
}

const char* serial_port_error_text()
{
    thread_local char text[128];
    thread_local char work[128];
    int error = errno;
    std::snprintf(text, sizeof text, "%s", strerror_r(error, work, sizeof work));
    return text;
}
