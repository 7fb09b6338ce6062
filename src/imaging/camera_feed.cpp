// The camera's subscribers under one lock, each paced by its own clock.
#include "imaging/camera_feed.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

struct subscriber_type {
    int handle = 0;
    camera_want_type want;
    camera_picture_listener listener;
    double next_capture = 0.0;  // the first capture frame due to it after this time
    double next_serial = 0.0;   // likewise for serial pictures
};

struct feed_type {
    std::mutex lock;             // guards the subscribers and their calls
    std::vector<subscriber_type> subscribers;
    int last_handle = 0;
};

feed_type feed;

bool wants(const subscriber_type& subscriber, camera_source source)
{
    return source == camera_source::capture ? subscriber.want.capture : subscriber.want.serial;
}

} // namespace

int camera_feed_subscribe(const camera_want_type& want, camera_picture_listener listener)
{
    std::lock_guard<std::mutex> hold(feed.lock);
    subscriber_type subscriber;
    subscriber.handle = ++feed.last_handle;
    subscriber.want = want;
    subscriber.listener = std::move(listener);
    feed.subscribers.push_back(std::move(subscriber));
    return feed.last_handle;
}

void camera_feed_unsubscribe(int handle)
{
    std::lock_guard<std::mutex> hold(feed.lock);
    std::erase_if(feed.subscribers, [handle](const subscriber_type& one) { return one.handle == handle; });
}

double camera_feed_capture_due(double now)
{
    std::lock_guard<std::mutex> hold(feed.lock);
    double due = -1e9;
    bool any = false;
    for (const subscriber_type& subscriber : feed.subscribers) {
        if (!subscriber.want.capture)
            continue;
        due = any ? std::min(due, subscriber.next_capture - now) : subscriber.next_capture - now;
        any = true;
    }
    return due;
}

bool camera_feed_capture_wanted()
{
    std::lock_guard<std::mutex> hold(feed.lock);
    return std::any_of(feed.subscribers.begin(), feed.subscribers.end(),
                       [](const subscriber_type& subscriber) { return subscriber.want.capture; });
}

void camera_feed_offer(const camera_picture_type& picture)
{
    std::lock_guard<std::mutex> hold(feed.lock);
    for (subscriber_type& subscriber : feed.subscribers) {
        if (!wants(subscriber, picture.source))
            continue;
        bool capture = picture.source == camera_source::capture;
        double& next = capture ? subscriber.next_capture : subscriber.next_serial;
        double rate = capture ? subscriber.want.capture_rate : subscriber.want.serial_rate;
        if (picture.time < next)
            continue;
        // On the subscriber's own beat: a picture a little late does not push the next one later.
        double period = rate > 0.0 ? 1.0 / rate : 0.0;
        next = picture.time - next < period ? next + period : picture.time + period;
        subscriber.listener(picture);
    }
}
