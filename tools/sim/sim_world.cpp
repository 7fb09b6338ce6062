// The room, the robot's motion and the range sensors.
#include "sim_world.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double far_away = 1.0e9;

double distance_to_segment(double px, double py, const sim_wall_type& w)
{
    double dx = w.x2 - w.x1;
    double dy = w.y2 - w.y1;
    double length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? ((px - w.x1) * dx + (py - w.y1) * dy) / length2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    double cx = w.x1 + t * dx - px;
    double cy = w.y1 + t * dy - py;
    return std::sqrt(cx * cx + cy * cy);
}

bool inside_box(double px, double py, const sim_world_type& world)
{
    // The pillar is the box made by walls 4 to 7.
    if (world.walls.size() < 8)
        return false;
    double x1 = world.walls[4].x1, y1 = world.walls[4].y1;
    double x2 = world.walls[6].x1, y2 = world.walls[6].y1;
    return px > std::min(x1, x2) && px < std::max(x1, x2) && py > std::min(y1, y2) && py < std::max(y1, y2);
}

bool fits(const sim_world_type& world, double x, double y)
{
    if (inside_box(x, y, world))
        return false;
    for (const sim_wall_type& wall : world.walls)
        if (distance_to_segment(x, y, wall) < world.radius)
            return false;
    return x > 0 && y > 0 && x < world.width && y < world.depth;
}

// Distance along the ray from (ox, oy) in direction (dx, dy) to the segment, or far_away.
double ray_to_segment(double ox, double oy, double dx, double dy, const sim_wall_type& w)
{
    double ex = w.x2 - w.x1;
    double ey = w.y2 - w.y1;
    double denominator = dx * ey - dy * ex;
    if (std::fabs(denominator) < 1e-12)
        return far_away;
    double t = ((w.x1 - ox) * ey - (w.y1 - oy) * ex) / denominator;
    double u = ((w.x1 - ox) * dy - (w.y1 - oy) * dx) / denominator;
    if (t < 0 || u < 0 || u > 1)
        return far_away;
    return t;
}

} // namespace

sim_world_type sim_world_make()
{
    sim_world_type world;
    double w = world.width, d = world.depth;
    world.walls = {{0, 0, w, 0}, {w, 0, w, d}, {w, d, 0, d}, {0, d, 0, 0},
                   // the pillar, a 0.4 m square
                   {2.6, 0.8, 3.0, 0.8}, {3.0, 0.8, 3.0, 1.2}, {3.0, 1.2, 2.6, 1.2}, {2.6, 1.2, 2.6, 0.8}};
    return world;
}

void sim_world_step(sim_world_type& world, double dt)
{
    double v = (world.left_speed + world.right_speed) / 2.0;
    double omega = (world.right_speed - world.left_speed) / world.wheel_base;
    double heading = world.heading + omega * dt;
    double mid = world.heading + omega * dt / 2.0;
    double x = world.x + v * std::cos(mid) * dt;
    double y = world.y + v * std::sin(mid) * dt;
    world.heading = std::remainder(heading, 2.0 * M_PI);
    world.bumped = !fits(world, x, y);
    if (!world.bumped) {
        world.x = x;
        world.y = y;
    }
}

bool sim_world_place(sim_world_type& world, double x, double y, double heading_degrees)
{
    if (!fits(world, x, y))
        return false;
    world.x = x;
    world.y = y;
    world.heading = std::remainder(heading_degrees * M_PI / 180.0, 2.0 * M_PI);
    return true;
}

double sim_world_range(const sim_world_type& world, double offset)
{
    double angle = world.heading + offset;
    double dx = std::cos(angle), dy = std::sin(angle);
    double nearest = far_away;
    for (const sim_wall_type& wall : world.walls)
        nearest = std::min(nearest, ray_to_segment(world.x, world.y, dx, dy, wall));
    return std::max(0.0, nearest - world.radius);
}

unsigned int sim_world_sensor_raw(double distance)
{
    if (distance >= sim_sensor_range)
        return 0;
    double level = 1.0 - std::max(distance, 0.0) / sim_sensor_range;
    return static_cast<unsigned int>(std::lround(std::min(level, 1.0) * 4095.0));
}
