#pragma once
// How fast a batch goes and how long it has left, from the files settled
// so far: the command line's progress bar and the window both show this.
#include <string>

namespace quenlo {

struct BatchPace {
    double filesPerSecond = 0;
    double bytesPerSecond = 0;
    long long secondsLeft = -1;  // -1 until a file has finished, and once all have
};

// done of total files, bytes written, seconds since the batch started.
BatchPace MeasurePace(long long done, long long total, long long bytes, double seconds);

// "m:ss" for seconds.
std::string ClockText(long long seconds);

}  // namespace quenlo
