#include "cli/Progress.h"

#include <algorithm>
#include <cstdio>

#include "batch/BatchPace.h"
#include "low/Messages.h"

namespace quenlo {

TProgress::TProgress(FILE* out, long long total, bool enabled)
    : out_(out), total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

std::string TProgress::Render(long long done, long long total, long long bytes, double seconds, int width) {
    const int filled = total > 0 ? static_cast<int>(std::min(done, total) * width / total) : width;
    // Appended, not "[" + ...: GCC 12 warns of a false overlap in that form.
    std::string text = "[";
    text.append(filled, '#').append(width - filled, ' ').append("] ");
    char tail[128];
    const BatchPace pace = MeasurePace(done, total, bytes, seconds);
    std::snprintf(tail, sizeof tail, Tr("%lld of %lld  %.1f files/s  %.1f MB/s"), done, total, pace.filesPerSecond,
                  pace.bytesPerSecond / 1e6);
    text += tail;
    if (pace.secondsLeft >= 0) {
        std::snprintf(tail, sizeof tail, Tr("  ETA %lld:%02lld"), pace.secondsLeft / 60, pace.secondsLeft % 60);
        text += tail;
    }
    return text;
}

void TProgress::Draw() {
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(out_, "\r%s\x1b[K", Render(done_, total_, bytes_, secs, 30).c_str());
    std::fflush(out_);
    drawn_ = true;
}

void TProgress::Erase() {
    if (!drawn_) return;
    std::fputs("\r\x1b[K", out_);
    drawn_ = false;
}

void TProgress::Step(long long bytes) {
    ++done_;
    bytes_ += bytes;
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
