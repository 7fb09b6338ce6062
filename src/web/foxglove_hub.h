// The Foxglove connection's shared side: the open clients, the taps that feed them (log, bus, camera),
// the 10 Hz telemetry and the configuration they may read. Its work runs on the web thread.
#pragma once

#include "channels/channels.h"
#include "web/foxglove_protocol.h"

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// How the hub reaches one client. deliver and close post onto the client's strand; the mask is the
// set of channels it subscribes to (bit 1 << channel_kind), written by the client, read by the hub.
struct foxglove_peer_type {
    std::shared_ptr<std::atomic<unsigned int>> channels;
    std::function<void(channel_kind kind, std::shared_ptr<const std::string> payload, uint64_t time)> deliver;
    std::function<void()> close;  // going away
    std::function<void(std::string text)> notify;  // a warning status for this client alone
};

constexpr unsigned int foxglove_channel_bit(channel_kind kind)
{
    return 1u << static_cast<int>(kind);
}

// From the window thread: start before the web thread runs, stop after it has ended and before its
// io_context goes. Once foxglove_hub_stop returns, no tap posts into the io_context any more.
void foxglove_hub_start(boost::asio::io_context& ioc);
void foxglove_hub_stop();
// On the web thread: asks every client to close and stops the telemetry, so the io_context runs out of work.
void foxglove_hub_close_all();

// Clients register and leave from any thread.
uint64_t foxglove_hub_add(foxglove_peer_type peer);
void foxglove_hub_remove(uint64_t id);
int foxglove_hub_count();
// A client's subscriptions changed: the hub works out again what it must gather (the capture's
// pictures flow only while someone subscribes to the camera).
void foxglove_hub_subscriptions_changed();

// Names this run of the program: the same for every client, another after a restart.
const std::string& foxglove_hub_session_id();

// From any thread, without waiting: a warning status to that one client (nothing when it has gone).
void foxglove_notice(uint64_t client_id, const std::string& text);

// The configuration as read-only parameters, read once at start.
const std::vector<foxglove_parameter_type>& foxglove_hub_parameters();
