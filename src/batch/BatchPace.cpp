#include "batch/BatchPace.h"

#include <cstdio>

namespace quenlo {

BatchPace MeasurePace(long long done, long long total, long long bytes, double seconds) {
    BatchPace pace;
    if (seconds <= 0) return pace;
    pace.filesPerSecond = done / seconds;
    pace.bytesPerSecond = bytes / seconds;
    // Rounded to the nearest second.
    if (pace.filesPerSecond > 0 && done < total)
        pace.secondsLeft = static_cast<long long>((total - done) / pace.filesPerSecond + 0.5);
    return pace;
}

std::string ClockText(long long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

}  // namespace quenlo
