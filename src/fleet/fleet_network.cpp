// The supervised network loop: the library's loop runs while the connection stands; whatever ended it,
// this thread waits and connects again. The library's own reconnecting is not used, as its waits do not
// end when the client is stopped.
#include "fleet/fleet_network.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>

bool fleet_network_class::start(mosquitto* new_client, const std::string& new_host, int new_port, int new_keepalive)
{
    client = new_client;
    host = new_host;
    port = new_port;
    keepalive = new_keepalive;
    stopping = false;
    mosquitto_threaded_set(client, true);
    try {
        thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void fleet_network_class::stop()
{
    if (!thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    wake.notify_all();
    mosquitto_disconnect(client);
    thread.join();
}

void fleet_network_class::connected()
{
    std::lock_guard<std::mutex> hold(lock);
    stood = true;
}

void fleet_network_class::run()
{
    double delay = 1.0;
    for (bool first = true;; first = false) {
        int rc;
        {
            // Under the lock: a stop either comes before the connect call and is seen here, or after it
            // and its disconnect ends the loop below.
            std::lock_guard<std::mutex> hold(lock);
            if (stopping)
                return;
            rc = first ? mosquitto_connect_async(client, host.c_str(), port, keepalive) : mosquitto_reconnect_async(client);
        }
        // A publish from another thread, or the stop's disconnect, wakes the loop at once.
        while (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop(client, 1000, 1);
        if (!wait_before_retry(delay))
            return;
    }
}

// False when stopping.
bool fleet_network_class::wait_before_retry(double& delay)
{
    std::unique_lock<std::mutex> hold(lock);
    if (stood)
        delay = 1.0;
    stood = false;
    wake.wait_for(hold, std::chrono::duration<double>(delay), [this] { return stopping; });
    delay = std::min(delay * 2.0, 10.0);
    return !stopping;
}
