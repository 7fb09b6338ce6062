// One Foxglove client's outgoing messages and their order.
#include "web/foxglove_outbox.h"

bool foxglove_outbox_class::push_control(std::string text)
{
    if (control.size() >= foxglove_control_limit)
        return false;
    control.push_back(std::move(text));
    return true;
}

bool foxglove_outbox_class::push_data(foxglove_outgoing_type message)
{
    if (data_size + message.size() > foxglove_data_limit) {
        dropped_count++;
        return false;
    }
    data_size += message.size();
    data.push_back(std::move(message));
    return true;
}

void foxglove_outbox_class::set_telemetry(foxglove_outgoing_type message)
{
    telemetry = std::make_unique<foxglove_outgoing_type>(std::move(message));
}

void foxglove_outbox_class::set_camera(foxglove_outgoing_type message)
{
    camera = std::make_unique<foxglove_outgoing_type>(std::move(message));
}

bool foxglove_outbox_class::start_next()
{
    if (busy)
        return false;
    if (!control.empty()) {
        flight = {std::move(control.front()), nullptr, false};
        control.pop_front();
    } else if (telemetry != nullptr) {
        flight = std::move(*telemetry);
        telemetry.reset();
    } else if (!data.empty()) {
        flight = std::move(data.front());
        data.pop_front();
        data_size -= flight.size();
    } else if (camera != nullptr) {
        flight = std::move(*camera);
        camera.reset();
    } else {
        return false;
    }
    busy = true;
    return true;
}

void foxglove_outbox_class::write_done()
{
    flight = {};
    busy = false;
}

void foxglove_outbox_class::release()
{
    data.clear();
    data_size = 0;
    telemetry.reset();
    camera.reset();
}
