#include "cli/Progress.h"

#include <algorithm>
#include <cstdio>

namespace quenlo {

TProgress::TProgress(FILE* out, int total, bool enabled)
    : out_(out), total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

std::string TProgress::Render(int done, int total, double seconds, int width) {
    const int filled = total > 0 ? static_cast<int>(static_cast<long long>(done) * width / total) : width;
    std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, ' ') + "] ";
    char tail[64];
    const double rate = seconds > 0 ? done / seconds : 0.0;
    std::snprintf(tail, sizeof tail, "%d/%d  %.1f files/s", done, total, rate);
    return bar + tail;
}

void TProgress::Draw() {
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(out_, "\r%s\x1b[K", Render(done_, total_, secs, 30).c_str());
    std::fflush(out_);
    drawn_ = true;
}

void TProgress::Erase() {
    if (!drawn_) return;
    std::fputs("\r\x1b[K", out_);
    drawn_ = false;
}

void TProgress::Step() {
    ++done_;
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done_ == total_ || now - lastDraw_ >= std::chrono::milliseconds(100)) {
        lastDraw_ = now;
        Draw();
    }
}

void TProgress::Line(const std::string& text) {
    if (enabled_) Erase();
    std::fprintf(out_, "%s\n", text.c_str());
    if (enabled_) Draw();
    std::fflush(out_);
}

void TProgress::Finish() {
    if (!enabled_) return;
    Draw();
    std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace quenlo
