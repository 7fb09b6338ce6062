// Rendering the robot's view: one ray per column gives the nearest wall and its distance; rows above
// the wall are ceiling, rows below it floor, with tiles and distance shading so motion is easy to see.
#include "sim_view.h"

#include <algorithm>
#include <cmath>

namespace {

struct hit_type {
    double distance = 1.0e9;  // along the ray, metres
    double along = 0.0;       // position along the wall from its start, metres
    int wall = -1;            // index into world.walls, -1 for none
};

struct rgb_type {
    double red, green, blue;
};

// The room walls south, east, north, west, then the pillar.
const rgb_type wall_colours[5] = {
    {110, 150, 205}, {120, 190, 120}, {225, 200, 140}, {190, 140, 205}, {225, 90, 60}};

hit_type cast(const sim_world_type& world, double angle)
{
    hit_type hit;
    double dx = std::cos(angle), dy = std::sin(angle);
    for (size_t i = 0; i < world.walls.size(); i++) {
        const sim_wall_type& w = world.walls[i];
        double ex = w.x2 - w.x1, ey = w.y2 - w.y1;
        double denominator = dx * ey - dy * ex;
        if (std::fabs(denominator) < 1e-12)
            continue;
        double t = ((w.x1 - world.x) * ey - (w.y1 - world.y) * ex) / denominator;
        double u = ((w.x1 - world.x) * dy - (w.y1 - world.y) * dx) / denominator;
        if (t > 1e-6 && u >= 0 && u <= 1 && t < hit.distance) {
            hit.distance = t;
            hit.along = u * std::sqrt(ex * ex + ey * ey);
            hit.wall = static_cast<int>(i);
        }
    }
    return hit;
}

// Farther is darker, never below 40 percent.
double shade(double distance)
{
    return std::clamp(1.15 - 0.17 * distance, 0.4, 1.0);
}

void put(unsigned char* pixel, const rgb_type& colour, double factor)
{
    pixel[0] = static_cast<unsigned char>(std::clamp(colour.red * factor, 0.0, 255.0));
    pixel[1] = static_cast<unsigned char>(std::clamp(colour.green * factor, 0.0, 255.0));
    pixel[2] = static_cast<unsigned char>(std::clamp(colour.blue * factor, 0.0, 255.0));
}

rgb_type wall_colour(const hit_type& hit, double height_fraction)
{
    rgb_type colour = wall_colours[std::min(hit.wall, 4)];
    double stripe = std::fmod(hit.along, 0.5);
    double factor = stripe < 0.03 ? 0.55 : 1.0;    // a seam every half metre
    if (height_fraction < 0.08)
        factor *= 0.6;                              // the skirting board
    return {colour.red * factor, colour.green * factor, colour.blue * factor};
}

rgb_type floor_colour(const sim_world_type& world, double angle, double ray_distance)
{
    double px = world.x + ray_distance * std::cos(angle), py = world.y + ray_distance * std::sin(angle);
    bool dark = (static_cast<long>(std::floor(px / 0.5)) + static_cast<long>(std::floor(py / 0.5))) & 1;
    return dark ? rgb_type{120, 85, 55} : rgb_type{165, 125, 85};
}

void render_column(const sim_world_type& world, int column, int width, int height, unsigned char* rgb)
{
    double focal = width / 2.0 / std::tan(sim_view_field / 2);
    double horizon = height / 2.0;
    double offset = sim_view_field / 2 - (column + 0.5) * sim_view_field / width;  // column 0 looks left
    double angle = world.heading + offset;
    hit_type hit = cast(world, angle);
    double depth = std::max(hit.distance * std::cos(offset), 0.05);  // along the heading: no fish-eye
    double top = horizon - focal * (sim_view_wall_height - sim_view_eye) / depth;
    double bottom = horizon + focal * sim_view_eye / depth;
    for (int row = 0; row < height; row++) {
        unsigned char* pixel = rgb + (static_cast<size_t>(row) * width + column) * 3;
        double y = row + 0.5;
        if (hit.wall >= 0 && y >= top && y < bottom) {
            put(pixel, wall_colour(hit, (bottom - y) / (bottom - top)), shade(depth));
        } else if (y >= bottom || hit.wall < 0) {
            double floor_depth = y > horizon ? focal * sim_view_eye / (y - horizon) : 1.0e3;
            put(pixel, floor_colour(world, angle, floor_depth / std::cos(offset)), shade(floor_depth));
        } else {
            put(pixel, {240, 240, 245}, 0.75 + 0.25 * y / horizon);  // the ceiling, lighter towards the walls
        }
    }
}

} // namespace

void sim_view_render(const sim_world_type& world, int width, int height, std::vector<unsigned char>& rgb)
{
    rgb.assign(static_cast<size_t>(width) * height * 3, 0);
    for (int column = 0; column < width; column++)
        render_column(world, column, width, height, rgb.data());
}
