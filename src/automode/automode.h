// The automatic mode: a thread that drives forward, detects obstacles on three analog channels, backs up
// and turns. The application does not start it; the mode key only sets the robot's flag.
#pragma once

struct telemetry_type;

void automode_start();
void automode_stop();
unsigned int automode_thread(void*);

// One pass of the state machine after its opening sleep: from state mode, runs the state handlers in
// their fixed order (2, 3, 4, 6, 5, 8, 7) and returns the state the pass ends in; 2 while the mode is off.
int automode_pass(int mode);

// What the thread sleeps with and where it reads telemetry; the program uses a real sleep and the robot.
// Tests replace them before a start so that manoeuvres run quickly on telemetry they choose.
using automode_sleep_type = void (*)(unsigned int milliseconds);
using automode_telemetry_source_type = void (*)(telemetry_type* out);
// Before a start only.
void automode_set_hooks(automode_sleep_type sleep, automode_telemetry_source_type telemetry_source);
void automode_real_sleep(unsigned int milliseconds);
void automode_robot_telemetry(telemetry_type* out);
