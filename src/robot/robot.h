// The robot's state: the control and telemetry records with their byte encodings, and the one robot
// object that holds them behind locks, mixes motion commands, filters telemetry and counts the rates.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

// The drive command. Speeds are magnitudes; each side's direction is its reverse flag.
struct control_type {
    double left_target = 0.0;    // target speed of the left side
    double right_target = 0.0;   // target speed of the right side
    double left_speed = 0.0;     // applied speed of the left side, moved towards its target by the ramp
    double right_speed = 0.0;    // applied speed of the right side
    bool left_reverse = false;   // the left side runs backwards
    bool right_reverse = false;  // the right side runs backwards
    unsigned char aux1 = 128;    // byte 4 of the control link record, stored as received
    unsigned char aux2 = 128;    // byte 5 of the control link record
};

// What the robot reports.
struct telemetry_type {
    float analog[8] = {};        // fractions of full scale; channels 0 and 1 follow the controller board
    int32_t link_values[4] = {}; // values for the operator's telemetry record
};

// Lengths of the byte encodings.
constexpr int control_record_length = 7;       // control link record, from the operator
constexpr int controller_command_length = 8;   // controller command, to the controller board
constexpr int telemetry_record_length = 10;    // telemetry link record, to the operator
constexpr int controller_telemetry_length = 3; // controller telemetry: set_telemetry reads this many bytes,
                                               // so shorter payloads must not reach it


class robot_class {
public:
    robot_class();
    ~robot_class();

    void reset_control();
    void set_auto_mode(bool on);
    bool get_auto_mode();

    // Whole-record copies.
    void get_control(control_type* out);
    void set_control(const control_type& in);
    void get_telemetry(telemetry_type* out);
    // Read-change-write of the control record in one hold of its lock, so no other writer's change is lost.
    void change_control(const std::function<void(control_type&)>& change);

    // Byte encodings.
    void set_control(const unsigned char* record);   // 7-byte control link record
    void get_control(unsigned char* out);            // 8-byte controller command
    void get_telemetry(unsigned char* out);          // 10-byte telemetry link record
    void set_telemetry(const unsigned char* payload);// 3-byte controller telemetry, filtered

    void set_motion(double turn, double forward);

    // The number of the controller command: it grows with every write that changes the motor bytes the
    // board would receive. With commands on change the controller thread waits on it.
    uint64_t command_number();
    // Waits until the number differs from seen or the seconds have passed; returns the number then.
    uint64_t wait_command_change(uint64_t seen, double seconds);
    // The motor bytes are the neutral 80 80 80 80.
    bool motors_neutral();
    void update_complete(bool);
    void update();
    double get_update_speed();

    // The serial camera's rate, published by the camera after each of its packets. Lock-free, so the
    // 10 ms redraw never waits for an image being decoded on the reading thread.
    void set_camera_rate(bool present, double rate);
    bool get_camera_rate(double* rate);                           // false without a camera

private:
    void control_written();        // after every write of control, under control_lock

    std::mutex control_lock;       // guards control, command_count and motors
    std::condition_variable command_changed;  // notified under control_lock when command_count grows
    std::mutex telemetry_lock;     // guards telemetry and last_update
    std::mutex update_lock;        // guards update_count and update_speed
    std::mutex auto_mode_lock;     // guards auto_mode
    control_type control;          // current drive command
    uint64_t command_count = 0;    // changes of the encoded motor bytes so far
    unsigned char motors[4] = {0x80, 0x80, 0x80, 0x80};  // the motor bytes control encodes
    telemetry_type telemetry;      // current sensor readings
    uint32_t update_count = 0;     // controller telemetry packets since the last roll
    double update_speed = 0.0;     // packets in the last whole second
    bool auto_mode = false;        // automatic mode is on
    bool telemetry_seen = false;   // set_telemetry has run once: last_update holds a time
    double last_update = 0.0;      // time of the previous set_telemetry
    std::atomic<bool> camera_present{false}; // the program has a serial camera
    std::atomic<double> camera_rate{0.0};    // its image rate, copied after each of its packets
};

extern robot_class robot;
extern bool remote_mode;  // a remote driver holds the robot (written by the motion authority)

// The two samples of a controller telemetry payload (3 bytes read), as fractions of full scale.
void controller_telemetry_samples(const unsigned char* payload, float* channel0, float* channel1);
// First-order low-pass step with the given time constant, in seconds.
void filter(float& filtered, float time_constant, float sample, double dt);
