// Measuring round trips: a stop message goes out, its telemetry reply comes back, N times one after
// another; the median and the 99th percentile are printed in microseconds.
#pragma once

#include "options.h"

#include <vector>

int bench_run(const options_type& options);

// The value at or below which the given share of the samples lie (nearest rank); samples must be sorted.
double bench_percentile(const std::vector<double>& sorted, double share);
// The middle of the sorted samples: the mean of the two middle ones for an even count.
double bench_median(const std::vector<double>& sorted);
