// The serial port on Windows: a COM port opened for overlapped I/O, WaitCommEvent for received bytes
// beside a stop event, reads that return at once with what has arrived, and writes the stop event ends.
#include "platform/serial_port.h"

#include "platform/win32/internal.h"

#include <cstring>

struct serial_event_type {
    HANDLE handle;  // manual-reset event
};

// One OVERLAPPED, with a manual-reset event of its own, per operation that may be in flight at once:
// the reading thread's wait and read, and the writer's write.
struct serial_port_type {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED wait_io{};
    DWORD wait_mask = 0;        // filled in by the driver when the wait completes
    bool wait_pending = false;  // a WaitCommEvent is in flight: issuing another would lose its events
    bool woke = false;          // the last wait ended by the driver: the next read shows whether for bytes
    bool woke_empty = false;    // the last such wake-up found nothing: the next wait continues its time
    int closed_wakes = 0;       // wake-ups in a row whose read ended at once with nothing: a closed line
    ULONGLONG quiet_until = 0;  // GetTickCount64 when a wait that keeps waking for nothing times out
    OVERLAPPED read_io{};
    OVERLAPPED write_io{};
};

namespace {

constexpr DWORD queue_size = 0x2000;          // the driver's input and output queues
// A read the driver holds longer than this had nothing to give (Wine holds reads of an empty line until a
// byte comes, whatever the time-outs say); it is cancelled and counts as empty.
constexpr DWORD read_settle_ms = 20;
// Wake-ups in a row whose read ended at once with nothing. A driver wakes once without bytes after a read
// (it remembers the characters just taken); a line that has hung up wakes every time and its reads end at
// once: report it, never spin. A silent line is not that: under Wine it wakes for nothing too, but its
// reads are held until a byte comes, so they never count here.
constexpr int hangup_empty_wakes = 10;
// After a wake-up that found nothing, the next wait first pauses this long: a driver that keeps waking
// for nothing cannot make the reading thread spin, and bytes that come meanwhile wait in its queue.
constexpr DWORD empty_wake_pause_ms = 20;

thread_local DWORD last_error = 0;            // for serial_port_error_text

// Records the calling thread's error code and returns the given result.
template <typename T>
T fail(T result, DWORD code = GetLastError())
{
    last_error = code;
    return result;
}

bool signalled(serial_event_type* event)
{
    return event != nullptr && WaitForSingleObject(event->handle, 0) == WAIT_OBJECT_0;
}

bool make_overlapped(OVERLAPPED* io)
{
    std::memset(io, 0, sizeof *io);
    io->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return io->hEvent != nullptr;
}

void free_port(serial_port_type* port)
{
    for (OVERLAPPED* io : {&port->wait_io, &port->read_io, &port->write_io})
        if (io->hEvent != nullptr)
            CloseHandle(io->hEvent);
    if (port->handle != INVALID_HANDLE_VALUE)
        CloseHandle(port->handle);
    delete port;
}

// Bytes in the driver's input queue, or -1 when the port reports an error. Also clears the port's
// error state, so a framing or overrun error does not stop later reads.
long queued_bytes(serial_port_type* port)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port->handle, &errors, &status))
        return fail(-1L);
    return static_cast<long>(status.cbInQue);
}

// Starts the wait for received bytes unless one is in flight; false when the port refused it.
bool start_wait(serial_port_type* port)
{
    if (port->wait_pending)
        return true;
    if (WaitCommEvent(port->handle, &port->wait_mask, &port->wait_io)) {
        SetEvent(port->wait_io.hEvent);  // finished at once: let the wait below see it
        port->wait_pending = true;
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING)
        return fail(false);
    port->wait_pending = true;
    return true;
}

// Collects the wait whose event has fired; false when it ended in an error. Collected with a wait, though
// the event is set: the result can follow the event (under Wine it is filled in on the thread's next
// call into the server, such as this wait), and looked at without a wait it still seems in flight
// (error 996). A wait that ended as aborted only says the port's state changed (Wine reports every
// wake-up of a line without modem signals that way, and a pulled-out adapter aborts it too): the read
// that follows tells which.
bool finish_wait(serial_port_type* port)
{
    DWORD ignored = 0;
    port->wait_pending = false;
    if (GetOverlappedResult(port->handle, &port->wait_io, &ignored, TRUE) || GetLastError() == ERROR_OPERATION_ABORTED)
        return true;
    return fail(false);
}

enum class woken { stop, other, timeout, failed };

// Waits for the stop event (first, so it wins when both are signalled) or the other handle.
woken wait_for(serial_event_type* stop, HANDLE other, DWORD timeout_ms)
{
    HANDLE handles[2] = {stop != nullptr ? stop->handle : nullptr, other};
    DWORD first = stop != nullptr ? 0 : 1;
    DWORD raw = WaitForMultipleObjects(2 - first, handles + first, FALSE, timeout_ms);
    if (raw == WAIT_TIMEOUT)
        return woken::timeout;
    if (raw >= WAIT_OBJECT_0 + 2 - first)
        return fail(woken::failed);
    return raw - WAIT_OBJECT_0 + first == 0 ? woken::stop : woken::other;
}

struct write_outcome {
    serial_write_result result;
    DWORD put;  // bytes the driver took
};

// Waits for the write in flight or the stop event. On stop the write is cancelled, and waited for: the
// buffer belongs to the caller, and the cancelled write may still have taken some bytes.
write_outcome finish_write(serial_port_type* port, serial_event_type* stop)
{
    DWORD put = 0;
    woken why = wait_for(stop, port->write_io.hEvent, INFINITE);
    if (why == woken::stop) {
        CancelIoEx(port->handle, &port->write_io);
        GetOverlappedResult(port->handle, &port->write_io, &put, TRUE);
        return {serial_write_result::stopped, put};
    }
    // Collected with a wait, as the wait for bytes is: the result can follow the event.
    if (why != woken::other || !GetOverlappedResult(port->handle, &port->write_io, &put, TRUE))
        return {fail(serial_write_result::failed), 0};
    return {serial_write_result::written, put};
}

} // namespace

std::string win32_serial_path(const char* name)
{
    if (name == nullptr)
        return std::string();
    if (std::strpbrk(name, "\\/:") != nullptr)
        return name;
    return std::string("\\\\.\\") + name;
}

void win32_serial_settings(DCB* dcb, unsigned int baud)
{
    dcb->BaudRate = baud;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fBinary = TRUE;
    dcb->fParity = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    // Left on, a line error would fail every read and write until someone cleared it.
    dcb->fAbortOnError = FALSE;
}

COMMTIMEOUTS win32_serial_timeouts()
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return timeouts;
}

serial_wait_result win32_serial_failure(DWORD code)
{
    switch (code) {
    case ERROR_ACCESS_DENIED:          // a USB adapter pulled out while open
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NO_SUCH_DEVICE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:            // the far end of a mapped line has closed
    case ERROR_HANDLE_EOF:
        return serial_wait_result::hangup;
    default:
        return serial_wait_result::failed;
    }
}

serial_event_type* serial_event_create()
{
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr)
        return fail<serial_event_type*>(nullptr);
    return new serial_event_type{handle};
}

void serial_event_signal(serial_event_type* event)
{
    if (event != nullptr)
        SetEvent(event->handle);
}

void serial_event_reset(serial_event_type* event)
{
    if (event != nullptr)
        ResetEvent(event->handle);
}

bool serial_event_signalled(serial_event_type* event)
{
    return signalled(event);
}

bool serial_event_wait(serial_event_type* event, unsigned int timeout_ms)
{
    return event != nullptr && WaitForSingleObject(event->handle, timeout_ms) == WAIT_OBJECT_0;
}

void serial_event_destroy(serial_event_type* event)
{
    if (event == nullptr)
        return;
    CloseHandle(event->handle);
    delete event;
}

serial_port_type* serial_port_open(const char* name)
{
    if (name == nullptr || name[0] == 0)
        return fail<serial_port_type*>(nullptr, ERROR_FILE_NOT_FOUND);
    std::string path = win32_serial_path(name);
    auto* port = new serial_port_type;
    port->handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    if (port->handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        free_port(port);
        return fail<serial_port_type*>(nullptr, code);
    }
    if (!make_overlapped(&port->wait_io) || !make_overlapped(&port->read_io) || !make_overlapped(&port->write_io)) {
        DWORD code = GetLastError();
        free_port(port);
        return fail<serial_port_type*>(nullptr, code);
    }
    return port;
}

void serial_port_close(serial_port_type* port)
{
    if (port == nullptr)
        return;
    // Nothing may still write into this record once it is freed: cancel the wait and see it end.
    if (port->wait_pending) {
        DWORD ignored = 0;
        CancelIoEx(port->handle, &port->wait_io);
        GetOverlappedResult(port->handle, &port->wait_io, &ignored, TRUE);
    }
    free_port(port);
}

serial_setup_result serial_port_setup(serial_port_type* port, unsigned int baud)
{
    if (port == nullptr)
        return fail(serial_setup_result::get_failed, ERROR_INVALID_HANDLE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb))
        return fail(serial_setup_result::get_failed);
    if (baud == 0)
        return fail(serial_setup_result::set_failed, ERROR_INVALID_PARAMETER);
    win32_serial_settings(&dcb, baud);
    // Every time-out is set: a port keeps whatever the last program left in them otherwise.
    COMMTIMEOUTS timeouts = win32_serial_timeouts();
    if (!SetupComm(port->handle, queue_size, queue_size) || !SetCommState(port->handle, &dcb) ||
        !SetCommTimeouts(port->handle, &timeouts) || !SetCommMask(port->handle, EV_RXCHAR))
        return fail(serial_setup_result::set_failed);
    // What the board sent while nobody listened (a restart's downtime) is stale: start from an empty queue.
    PurgeComm(port->handle, PURGE_RXCLEAR);
    return serial_setup_result::ok;
}

// The win32 backend wakes for every arrival, whatever min_bytes asks: a driver's queue count cannot be
// trusted to say when enough has come (Wine's is not true for a pseudo-terminal).
// Arms the driver's wait for received bytes and waits for it, the stop event or the time.
static serial_wait_result wait_for_bytes(serial_port_type* port, serial_event_type* stop, DWORD timeout_ms)
{
    if (!start_wait(port))
        return win32_serial_failure(last_error);
    woken why = wait_for(stop, port->wait_io.hEvent, timeout_ms);
    if (why == woken::stop)
        return serial_wait_result::stopped;  // the wait stays in flight for the next call
    if (why == woken::timeout)
        return serial_wait_result::timeout;
    if (why == woken::failed)
        return serial_wait_result::failed;
    if (!finish_wait(port))
        return win32_serial_failure(last_error);
    // Not every driver counts its queue truly (Wine's does not for a pseudo-terminal): the read decides.
    port->woke = true;
    return serial_wait_result::received;
}

serial_wait_result serial_port_wait(serial_port_type* port, serial_event_type* stop, unsigned int timeout_ms,
                                    unsigned int)
{
    if (port == nullptr)
        return fail(serial_wait_result::failed, ERROR_INVALID_HANDLE);
    if (port->closed_wakes >= hangup_empty_wakes) {
        port->closed_wakes = 0;
        return fail(serial_wait_result::hangup, ERROR_BROKEN_PIPE);
    }
    if (signalled(stop))
        return serial_wait_result::stopped;
    long queued = queued_bytes(port);
    if (queued < 0)
        return win32_serial_failure(last_error);
    if (queued > 0)
        return serial_wait_result::received;
    // A wait after a wake-up for nothing goes on with that wait's time: a silent line times out every
    // timeout_ms, as on Linux, however often the driver wakes.
    ULONGLONG now = GetTickCount64();
    if (!port->woke_empty)
        port->quiet_until = now + timeout_ms;
    DWORD left = port->quiet_until > now ? static_cast<DWORD>(port->quiet_until - now) : 0;
    if (port->woke_empty) {
        DWORD pause = left < empty_wake_pause_ms ? left : empty_wake_pause_ms;
        if (stop != nullptr ? WaitForSingleObject(stop->handle, pause) == WAIT_OBJECT_0 : (Sleep(pause), false))
            return serial_wait_result::stopped;
        left -= pause;
    }
    port->woke_empty = false;
    if (left == 0 && timeout_ms > 0)
        return serial_wait_result::timeout;
    return wait_for_bytes(port, stop, left);
}

int serial_port_read(serial_port_type* port, unsigned char* buffer, unsigned int size)
{
    if (port == nullptr)
        return fail(-1, ERROR_INVALID_HANDLE);
    if (size == 0)
        return 0;
    DWORD got = 0;
    if (!ReadFile(port->handle, buffer, size, nullptr, &port->read_io) && GetLastError() != ERROR_IO_PENDING)
        return fail(-1);
    bool held = WaitForSingleObject(port->read_io.hEvent, read_settle_ms) != WAIT_OBJECT_0;
    if (held)
        CancelIoEx(port->handle, &port->read_io);
    // Waited for even after the cancel: the driver may still be writing into the buffer. An error here
    // (an adapter pulled out) is how a lost port shows.
    if (!GetOverlappedResult(port->handle, &port->read_io, &got, TRUE) && GetLastError() != ERROR_OPERATION_ABORTED)
        return fail(-1);
    if (got > 0)
        port->closed_wakes = 0;
    else if (port->woke && !held)
        port->closed_wakes++;
    port->woke_empty = port->woke && got == 0;
    port->woke = false;
    return static_cast<int>(got);
}

serial_write_result serial_port_write(serial_port_type* port, serial_event_type* stop, const unsigned char* data,
                                      unsigned int length)
{
    if (port == nullptr)
        return fail(serial_write_result::failed, ERROR_INVALID_HANDLE);
    unsigned int done = 0;
    while (done < length) {
        if (signalled(stop))
            return serial_write_result::stopped;
        if (!WriteFile(port->handle, data + done, length - done, nullptr, &port->write_io) &&
            GetLastError() != ERROR_IO_PENDING)
            return fail(serial_write_result::failed);
        write_outcome outcome = finish_write(port, stop);
        done += outcome.put;
        if (outcome.result == serial_write_result::failed)
            return serial_write_result::failed;
        if (outcome.result == serial_write_result::stopped)
            return done >= length ? serial_write_result::written : serial_write_result::stopped;
        if (outcome.put == 0)
            return fail(serial_write_result::failed, ERROR_WRITE_FAULT);  // no progress: never spin
    }
    return serial_write_result::written;
}

const char* serial_port_error_text()
{
    return win32_error_text(last_error);
}
