// The controller exchange: a thread sends the drive command to the controller board ten times a second,
// and the board's telemetry packets are fed into the robot state.
#pragma once

extern unsigned char device_id;  // the controller board's bus identifier
// Config key command_on_change: besides the cycle, a command goes out as soon as the motor bytes change.
extern bool command_on_change;

void controller_start();
void controller_stop();
unsigned int controller_thread(void*);
bool controller_transfer();
void controller_data(const unsigned char* payload, int length);
