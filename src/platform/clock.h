// The monotonic high-resolution clock the application reads its time from.
#pragma once

// Seconds from an arbitrary fixed origin; only differences of two readings mean anything.
double clock_seconds();

// Sleeps the calling thread for the given number of milliseconds.
void clock_sleep_ms(unsigned int milliseconds);
