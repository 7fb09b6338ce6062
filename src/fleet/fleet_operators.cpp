// The table of named MQTT operators.
#include "fleet/fleet_operators.h"

#include <algorithm>

uint64_t fleet_operators_class::id_for(std::string_view name, double now, std::vector<uint64_t>& gone)
{
    if (name.empty())
        return fleet_shared_operator;
    auto found = std::find_if(known.begin(), known.end(), [&](const operator_type& o) { return o.name == name; });
    if (found != known.end()) {
        found->last = now;
        return found->id;
    }
    if (known.size() >= fleet_operators_max) {
        auto stale = [now](const operator_type& o) { return now - o.last > fleet_operator_memory; };
        for (const operator_type& o : known)
            if (stale(o))
                gone.push_back(o.id);
        std::erase_if(known, stale);
        if (known.size() >= fleet_operators_max)
            return 0;
    }
    known.push_back(operator_type{std::string(name), next_id++, now});
    return known.back().id;
}

std::vector<uint64_t> fleet_operators_class::forget_all()
{
    std::vector<uint64_t> ids{fleet_shared_operator};
    for (const operator_type& o : known)
        ids.push_back(o.id);
    known.clear();
    return ids;
}
