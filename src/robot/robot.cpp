// The robot object (built with the robot state).
#include "robot/robot.h"

robot_class robot;
bool remote_mode = false;
double long_ave = 0.0;
double ave_offset = 0.0;
double vel = 0.0;
double pos = 0.0;

robot_class::robot_class() {}
robot_class::~robot_class() {}
void robot_class::start() {}
void robot_class::stop() {}
void robot_class::reset_control() {}
void robot_class::set_auto_mode(bool) {}
bool robot_class::get_auto_mode() { return false; }
void robot_class::get_control(control_type* out) { *out = control_type{}; }
void robot_class::set_control(const control_type&) {}
void robot_class::get_telemetry(telemetry_type* out) { *out = telemetry_type{}; }
void robot_class::change_control(const std::function<void(control_type&)>&) {}
void robot_class::set_control(const unsigned char*) {}
void robot_class::get_control(unsigned char*) {}
void robot_class::get_telemetry(unsigned char*) {}
void robot_class::set_telemetry(const unsigned char*) {}
void robot_class::set_motion(double, double) {}
void robot_class::update_complete(bool) {}
void robot_class::update() {}
double robot_class::get_update_speed() { return 0.0; }
void robot_class::serial_cam_data(const unsigned char*, int) {}
bool robot_class::get_camera_rate(double*) { return false; }
void filter(float&, float, float, double) {}
void reset_vals() {}
