// Sending one scripted message and printing its replies.
#include "send.h"

#include "connection.h"
#include "protocol.h"
#include "replies.h"

#include <cstdio>

int send_run(const options_type& options)
{
    std::string name = connection_name(options.host, options.port);
    std::string error;
    int socket = connection_open_or_say(options.host, options.port);
    if (socket < 0)
        return 1;
    int expected = protocol_count_replies(options.message);
    int result = 0;
    if (connection_send(socket, options.message.data(), options.message.size(), &error) != 0) {
        std::fprintf(stderr, "quillon-operator: connection to %s lost: %s\n", name.c_str(), error.c_str());
        result = 1;
    }
    replies_type replies;
    for (int i = 0; i < expected && result == 0; i++) {
        telemetry_message_type reply;
        if (replies_wait(&replies, socket, &reply, &error) != 0) {
            std::fprintf(stderr, "quillon-operator: %s: %s\n", name.c_str(), error.c_str());
            result = 1;
            break;
        }
        std::printf("%s\n", protocol_format_hex(reply.data(), reply.size()).c_str());
    }
    if (expected == 0 && result == 0)
        std::fprintf(stderr, "quillon-operator: no reply expected: the message holds no control message or "
                             "image request\n");
    connection_close(socket);
    return result;
}
