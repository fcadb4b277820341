// What the benchmarks share: clocks that say what the machine spent, and the
// tree of empty files most of them measure on.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tavrik::bench {

using Clock = std::chrono::steady_clock;

// Wall seconds since `start`.
double Seconds(Clock::time_point start);

// CPU seconds (user + system) of this process (RUSAGE_SELF) or of its
// finished children (RUSAGE_CHILDREN): the machine is shared, so wall time
// alone says little.
double CpuSeconds(int who);

// The middle value of `values` (0 for none): a run disturbed by another
// process's burst moves the mean, not the median.
double Median(std::vector<double> values);

// top/dNNN/fNNNNN: `files` empty files, `perDirectory` to a directory, the
// old tree removed first. Returns the number of objects (files, directories
// and the top).
long MakeTree(const std::string& top, long files, long perDirectory);

}  // namespace tavrik::bench
