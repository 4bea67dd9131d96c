#include "app/ZoomControl.h"

#include <QKeyEvent>
#include <QScrollArea>
#include <QWheelEvent>
#include <algorithm>
#include <cstdint>

#include "scene/kinds/Pbox.h"

namespace quenlo {

namespace {
// The paint box keeps an offscreen image of its own size.
constexpr int64_t kMaxControlSide = 32767;
constexpr int64_t kMaxControlPixels = int64_t(1) << 26;
}  // namespace

const int TZoomControl::kSteps[] = {10, 25, 33, 50, 67, 100, 150, 200, 300, 400, 600, 800, 1200, 1600};
const int TZoomControl::kStepCount = int(std::size(kSteps));

TZoomControl::TZoomControl(TPbox& view, QScrollArea& scroll, std::function<QSize()> sceneSize,
                           std::function<void()> onChanged)
    : QObject(&scroll), view_(view), scroll_(scroll), sceneSize_(std::move(sceneSize)), onChanged_(std::move(onChanged)) {
    // The paint box under the pointer sees the wheel first, the viewport
    // around it when the scene is smaller than the window.
    scroll_.viewport()->installEventFilter(this);
    if (scroll_.widget()) scroll_.widget()->installEventFilter(this);
}

int TZoomControl::Percent() const { return view_.GetZoom(); }

int TZoomControl::MaxPercent() const {
    const QSize size = sceneSize_();
    const int64_t w = std::max(size.width(), 0), h = std::max(size.height(), 0);
    int best = kSteps[0];
    for (int z : kSteps) {
        const int64_t cw = w * z / 100, ch = h * z / 100;
        if (cw <= kMaxControlSide && ch <= kMaxControlSide && cw * ch <= kMaxControlPixels) best = z;
    }
    return best;
}

void TZoomControl::SetPercent(int percent) {
    fitting_ = false;
    Apply(percent);
}

void TZoomControl::Apply(int percent) {
    percent = std::clamp(percent, kSteps[0], MaxPercent());
    view_.SetZoom(percent);
    view_.RepaintAll();
    if (onChanged_) onChanged_();
}

void TZoomControl::In() {
    const int z = Percent();
    for (int step : kSteps)
        if (step > z) return SetPercent(step);
}

void TZoomControl::Out() {
    const int z = Percent();
    for (int i = kStepCount - 1; i >= 0; --i)
        if (kSteps[i] < z) return SetPercent(kSteps[i]);
}

void TZoomControl::Fit() {
    const QSize scene = sceneSize_(), room = scroll_.viewport()->size();
    fitting_ = true;
    if (scene.width() <= 0 || scene.height() <= 0) return Apply(100);
    // Truncated, so the scaled scene is never a pixel larger than the room.
    const int64_t across = int64_t(room.width()) * 100 / scene.width();
    const int64_t down = int64_t(room.height()) * 100 / scene.height();
    Apply(int(std::clamp<int64_t>(std::min(across, down), kSteps[0], 100)));
}

bool TZoomControl::HandleKey(const QKeyEvent& event) {
    if (!(event.modifiers() & Qt::ControlModifier)) return false;
    switch (event.key()) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:  // plus without Shift on many layouts
            In();
            return true;
        case Qt::Key_Minus:
            Out();
            return true;
        case Qt::Key_0:
            SetPercent(100);
            return true;
        case Qt::Key_9:
            Fit();
            return true;
        default:
            return false;
    }
}

bool TZoomControl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Wheel && (watched == scroll_.viewport() || watched == scroll_.widget())) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (wheel->modifiers() & Qt::ControlModifier) {
            // Whole notches of 120; touchpads send smaller parts.
            wheelRest_ += wheel->angleDelta().y();
            for (; wheelRest_ >= 120; wheelRest_ -= 120) In();
            for (; wheelRest_ <= -120; wheelRest_ += 120) Out();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace quenlo
