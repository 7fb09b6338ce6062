// One browser's outgoing messages and their order.
#include "web/web_outbox.h"

bool web_outbox_class::push_reply(std::string text)
{
    if (replies.size() >= web_reply_limit)
        return false;
    replies.push_back(std::move(text));
    return true;
}

bool web_outbox_class::push_signal(std::string text)
{
    if (replies.size() >= web_signal_limit)
        return false;
    replies.push_back(std::move(text));
    return true;
}

void web_outbox_class::set_state(std::string text)
{
    state = std::make_shared<const std::string>(std::move(text));
}

void web_outbox_class::set_frame(std::shared_ptr<const std::string> jpeg)
{
    frame = std::move(jpeg);
}

bool web_outbox_class::start_next()
{
    if (busy)
        return false;
    if (!replies.empty()) {
        flight = {std::make_shared<const std::string>(std::move(replies.front())), false};
        replies.pop_front();
    } else if (state != nullptr) {
        flight = {std::move(state), false};
        state = nullptr;
    } else if (frame != nullptr) {
        flight = {std::move(frame), true};
        frame = nullptr;
    } else {
        return false;
    }
    busy = true;
    return true;
}

void web_outbox_class::write_done()
{
    flight = {};
    busy = false;
}

void web_outbox_class::release()
{
    state = nullptr;
    frame = nullptr;
}
