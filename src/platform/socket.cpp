// The send policy every socket backend shares: whole messages or a clear failure, and a short wait for the
// rest of a message once part of it has gone.
#include "platform/socket.h"

#include "platform/clock.h"
#include "platform/socket_backend.h"

namespace {

// How long a send may wait for room once part of its message has gone.
constexpr double send_completion_seconds = 0.5;

} // namespace

int socket_send(int socket, const unsigned char* data, int length)
{
    if (socket < 0 || length < 0)
        return -1;
    int sent = 0;
    double deadline = 0;
    while (sent < length) {
        int n = socket_backend_send(socket, data + sent, length - sent);
        if (n > 0) {
            sent += n;
            continue;
        }
        // Nothing sent yet and no room: a failure, as the link expects of a non-blocking send.
        if (sent == 0)
            return -1;
        // Part of the message has gone: the count tells the link the stream now holds a cut message.
        if (n < 0)
            return sent;
        if (deadline == 0)
            deadline = clock_seconds() + send_completion_seconds;
        double left = deadline - clock_seconds();
        if (left <= 0 || !socket_backend_wait_writable(socket, left))
            return sent;
    }
    return sent;
}
