// What waits to be sent to one browser: a small FIFO of replies that are never dropped, one state slot and
// one picture slot where the newest replaces the older, and the message being written, which nothing
// replaces or frees while its write is in flight.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

constexpr size_t web_reply_limit = 8;  // replies waiting; one more means the browser does not read
constexpr size_t web_signal_limit = 64;  // video signalling comes in bursts of candidates

struct web_outgoing_type {
    std::shared_ptr<const std::string> data;  // shared: one picture goes to every browser
    bool binary = false;
};

class web_outbox_class {
public:
    // False when the FIFO is full: the reply is not queued, and the caller closes the connection.
    bool push_reply(std::string text);
    // The same for the live video's signalling, with room for a burst.
    bool push_signal(std::string text);
    void set_state(std::string text);
    void set_frame(std::shared_ptr<const std::string> jpeg);

    // Starts the next write: replies first, then the state, then the picture. False when a write is in
    // flight already or nothing waits. The message stays held in in_flight() until write_done().
    bool start_next();
    const web_outgoing_type& in_flight() const { return flight; }
    void write_done();
    bool writing() const { return busy; }
    // The session is over: the state and the picture waiting go; replies stay for a closing write.
    void release();

    size_t replies_waiting() const { return replies.size(); }
    bool state_waiting() const { return state != nullptr; }
    bool frame_waiting() const { return frame != nullptr; }

private:
    std::deque<std::string> replies;            // in order of arrival
    std::shared_ptr<const std::string> state;   // the newest state message not yet sent
    std::shared_ptr<const std::string> frame;   // the newest picture not yet sent
    web_outgoing_type flight;                   // the message whose write is in flight
    bool busy = false;                          // a write is in flight
};
