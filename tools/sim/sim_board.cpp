// The controller board: motor bytes in, wheel speeds and range telemetry out.
#include "sim_board.h"

#include <algorithm>

namespace {

// A motor byte as a fraction of full speed, forward positive; forward_below tells which side of 0x80
// is forward for this motor.
double motor_fraction(unsigned char value, bool forward_below)
{
    double steps = forward_below ? 128.0 - value : value - 128.0;
    return std::clamp(steps / 127.0, -1.0, 1.0);
}

} // namespace

bool sim_board_command(sim_board_type& board, const unsigned char* payload, size_t length, double now)
{
    if (length != sim_board_command_length) {
        board.refused++;
        return false;
    }
    board.left_byte = payload[0];
    board.right_byte = payload[2];
    board.last_command = now;
    board.commands++;
    return true;
}

void sim_board_drive(const sim_board_type& board, sim_world_type& world, double now)
{
    bool alive = board.last_command >= 0 && now - board.last_command <= sim_board_watchdog;
    if (!alive) {
        world.left_speed = 0;
        world.right_speed = 0;
        return;
    }
    world.left_speed = motor_fraction(board.left_byte, true) * sim_board_top_speed;
    world.right_speed = motor_fraction(board.right_byte, false) * sim_board_top_speed;
}

void sim_board_telemetry(const sim_world_type& world, unsigned char* payload)
{
    unsigned int left = sim_world_sensor_raw(sim_world_range(world, sim_sensor_angle));
    unsigned int right = sim_world_sensor_raw(sim_world_range(world, -sim_sensor_angle));
    payload[0] = static_cast<unsigned char>(left & 0xFF);
    payload[1] = static_cast<unsigned char>(right & 0xFF);
    payload[2] = static_cast<unsigned char>(((left >> 8) & 0x0F) | (((right >> 8) & 0x0F) << 4));
}

bool sim_board_telemetry_due(sim_board_type& board, double now)
{
    if (board.telemetry_rate <= 0 || now < board.next_telemetry)
        return false;
    double period = 1.0 / board.telemetry_rate;
    board.next_telemetry += period;
    if (board.next_telemetry < now)
        board.next_telemetry = now + period;  // after a stall the rate restarts; no burst to catch up
    return true;
}
