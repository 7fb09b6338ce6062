// What a camera on the simulated robot sees: the room's walls, the pillar, the floor and the ceiling,
// drawn column by column by casting one ray per column from the robot's pose.
#pragma once

#include "sim_world.h"

#include <vector>

constexpr double sim_view_field = 1.0472;     // 60 degrees across the picture
constexpr double sim_view_eye = 0.12;         // camera height above the floor, metres
constexpr double sim_view_wall_height = 0.6;  // height of the walls and the pillar, metres

// Width x height RGB samples, row 0 at the top, three bytes a pixel.
void sim_view_render(const sim_world_type& world, int width, int height, std::vector<unsigned char>& rgb);
