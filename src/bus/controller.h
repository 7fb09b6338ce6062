// The controller exchange: a thread sends the drive command to the controller board ten times a second,
// and the board's telemetry packets are fed into the robot state.
#pragma once

extern unsigned char device_id;  // the controller board's bus identifier

// Opens the port and starts the thread; with on_change (command_on_change), besides the cycle a command
// goes out as soon as the motor bytes change.
void controller_start(bool on_change = false);
void controller_stop();
unsigned int controller_thread(void*);
bool controller_transfer();
void controller_data(const unsigned char* payload, int length);
