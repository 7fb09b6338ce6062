// The automatic mode: a thread that drives forward, detects obstacles on three analog channels, backs up
// and turns. The application does not start it; the mode key only sets the robot's flag.
#pragma once

void automode_start();
void automode_stop();
unsigned int automode_thread(void*);
