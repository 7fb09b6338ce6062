// The simulated robot's world: a small walled room with a pillar, a differential-drive robot in it, and
// the two range sensors at its front corners.
#pragma once

#include <vector>

struct sim_wall_type {
    double x1, y1, x2, y2;  // a wall segment, metres
};

struct sim_world_type {
    double width = 4.0;           // the room spans x 0..width and y 0..depth, metres
    double depth = 3.0;
    double radius = 0.15;         // the robot is a disc of this radius
    double wheel_base = 0.30;     // distance between the two wheels
    double x = 1.0;               // robot centre, metres
    double y = 1.5;
    double heading = 0.0;         // radians, 0 along +x, counter-clockwise positive
    double left_speed = 0.0;      // wheel speeds, metres per second, forward positive
    double right_speed = 0.0;
    bool bumped = false;          // the last step was stopped by a wall
    std::vector<sim_wall_type> walls;  // the four room walls and the pillar's four sides
};

constexpr double sim_sensor_angle = 0.5236;  // the sensors look 30 degrees left and right of the heading
constexpr double sim_sensor_range = 1.5;     // metres; beyond it a sensor reads 0

sim_world_type sim_world_make();
// Moves the robot for dt seconds at its wheel speeds; a move that would enter a wall is not made.
void sim_world_step(sim_world_type& world, double dt);
// Places the robot (heading in degrees); false when the place is inside a wall or the pillar.
bool sim_world_place(sim_world_type& world, double x, double y, double heading_degrees);
// Distance from the robot's rim along the direction heading + offset to the nearest wall (large if none).
double sim_world_range(const sim_world_type& world, double offset);
// The sensor reading for a distance: 0 at the sensor range and beyond, rising to 4095 at contact.
unsigned int sim_world_sensor_raw(double distance);
