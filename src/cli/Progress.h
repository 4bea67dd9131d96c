#pragma once
// A one-line progress bar for a terminal: "[#####     ] 12/340  35.2 files/s".
#include <chrono>
#include <cstdio>
#include <string>

namespace quenlo {

class TProgress {
public:
    // Draws nothing unless enabled.
    TProgress(FILE* out, int total, bool enabled);
    // Advances the count; redraws at most ten times a second, and always at the end.
    void Step();
    // Prints a line above the bar, which is then redrawn.
    void Line(const std::string& text);
    // Leaves the finished bar on its own line.
    void Finish();

    static std::string Render(int done, int total, double seconds, int width);

private:
    void Draw();
    void Erase();

    FILE* out_;
    int total_;
    int done_ = 0;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, lastDraw_;
};

}  // namespace quenlo
