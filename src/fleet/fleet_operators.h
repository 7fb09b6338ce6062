// The MQTT operators a robot tells apart. A drive or stop message may name its operator ("by"); each
// name is a driver of its own, so one operator's STOP holds that operator and no other. Messages without
// a name share one identity. A name not heard for fleet_operator_memory seconds is forgotten; while
// fleet_operators_max names have been heard more recently, a new name gets no place and its drive is
// refused (a stop is always taken, under the shared identity).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint64_t fleet_shared_operator = 1;  // the driver id of messages without "by"
constexpr size_t fleet_operators_max = 16;
constexpr double fleet_operator_memory = 30.0;

class fleet_operators_class {
public:
    // The driver id for a message by `name` (empty: the shared one) at `now`, or 0 when no place is
    // free. Ids of names forgotten to make room are added to `gone`.
    uint64_t id_for(std::string_view name, double now, std::vector<uint64_t>& gone);
    // Every id that may have driven (the shared one too); the table starts empty again.
    std::vector<uint64_t> forget_all();
    size_t count() const { return known.size(); }

private:
    struct operator_type {
        std::string name;
        uint64_t id = 0;
        double last = 0.0;  // when it was last heard
    };
    std::vector<operator_type> known;  // at most fleet_operators_max
    uint64_t next_id = fleet_shared_operator + 1;  // never reused: a newcomer inherits nobody's hold
};
