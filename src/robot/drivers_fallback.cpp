// Who drives, for a build that has the driver model's interface but not yet its table (src/robot/drivers.cpp):
// nobody. Weak, so the table's own definitions take their place at link time; this file goes once the
// table is in the tree.
#include "robot/drivers.h"

__attribute__((weak)) driver_kind drivers_current(uint64_t* id)
{
    if (id != nullptr)
        *id = 0;
    return driver_kind::none;
}

__attribute__((weak)) const char* driver_name(driver_kind)
{
    return "none";
}
