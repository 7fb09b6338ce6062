// The application's clock: seconds as a double, used only as differences of two readings.
#pragma once

void time_start();
double get_time();
