#pragma once
// A one-line progress bar for a terminal:
// "[#####     ] 12 of 340  35.2 files/s  4.1 MB/s  ETA 0:09".
#include <chrono>
#include <cstdio>
#include <string>

namespace quenlo {

class TProgress {
public:
    // Draws nothing unless enabled.
    TProgress(FILE* out, long long total, bool enabled);
    // Advances the count by one file of `bytes` written; redraws at most ten
    // times a second, and always at the end.
    void Step(long long bytes = 0);
    // Prints a line above the bar, which is then redrawn.
    void Line(const std::string& text);
    // Leaves the finished bar on its own line.
    void Finish();

    // The ETA is left out until a file has finished.
    static std::string Render(long long done, long long total, long long bytes, double seconds, int width);

private:
    void Draw();
    void Erase();

    FILE* out_;
    long long total_;
    long long done_ = 0;
    long long bytes_ = 0;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, lastDraw_;
};

}  // namespace quenlo
