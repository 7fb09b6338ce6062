// A libmosquitto client's network loop on a thread of its own that keeps the client on its broker.
// libmosquitto's own thread gives up for good when the first connection is refused at once or when an
// MQTT 5 broker ends the connection with a DISCONNECT (another client took the id, the broker shuts
// down); this one connects again after any end, with a back-off of 1 s doubling to 10 s. Used by
// Quillon's fleet link and by quillon-fleet.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;

class fleet_network_class {
public:
    // Sets the client up for a thread of its own (publishing from any thread only queues) and starts
    // connecting. False when the thread cannot start.
    bool start(mosquitto* client, const std::string& host, int port, int keepalive);
    // Disconnects and ends the thread. Idempotent.
    void stop();
    // From the connect callback: the connection stood, so the next back-off starts again from 1 s.
    void connected();

private:
    void run();
    bool wait_before_retry(double& delay);

    mosquitto* client = nullptr;
    std::string host;
    int port = 0, keepalive = 0;
    std::thread thread;
    std::mutex lock;                // guards stopping, stood and the client's connect calls
    std::condition_variable wake;   // ends the back-off early when stopping
    bool stopping = false;
    bool stood = false;             // a connection was made since the last back-off
};
