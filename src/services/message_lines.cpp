// The message-line store: twelve slots under one lock.
#include "services/message_lines.h"

#include "services/log.h"
#include "services/taps.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

struct message_lines_type {
    std::mutex lock;                                 // guards the slots and the count
    char slots[text_line_count][text_line_size] = {};  // slot 0 the oldest line shown
    int used = 0;                                    // slots in use, 0 to 12
};

message_lines_type message_store;

} // namespace

void add_line(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    do_add_line(text);
    log_write("%s", text);
    tap_publish_text(tap_kind::message_line, text, std::strlen(text));
}

void do_add_line(const char* text)
{
    std::lock_guard<std::mutex> hold(message_store.lock);
    if (message_store.used == text_line_count)
        std::memmove(message_store.slots[0], message_store.slots[1], sizeof message_store.slots[0] * (text_line_count - 1));
    else
        message_store.used++;
    char* slot = message_store.slots[message_store.used - 1];
    std::memset(slot, 0, text_line_size);
    std::memcpy(slot, text, std::min(std::strlen(text), static_cast<size_t>(text_line_size - 1)));
}

int message_lines_copy(char (*lines)[text_line_size], int capacity)
{
    std::lock_guard<std::mutex> hold(message_store.lock);
    int count = message_store.used < capacity ? message_store.used : capacity;
    std::memcpy(lines, message_store.slots, sizeof message_store.slots[0] * static_cast<size_t>(count));
    return count;
}

std::vector<std::string> message_lines_shown()
{
    std::lock_guard<std::mutex> hold(message_store.lock);
    return std::vector<std::string>(message_store.slots, message_store.slots + message_store.used);
}

void message_lines_clear()
{
    std::lock_guard<std::mutex> hold(message_store.lock);
    std::memset(message_store.slots, 0, sizeof message_store.slots);
    message_store.used = 0;
}
