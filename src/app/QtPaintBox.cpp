#include "app/QtPaintBox.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <exception>

namespace quenlo {

namespace {
QRect ToQRect(const TRect& r) {  // right and bottom exclusive
    return QRect(QPoint(r.Left, r.Top), QSize(r.Right - r.Left, r.Bottom - r.Top));
}

TShiftState ShiftOf(const QMouseEvent* e) {
    TShiftState s = 0;
    const Qt::KeyboardModifiers m = e->modifiers();
    if (m & Qt::ShiftModifier) s |= kShiftKey;
    if (m & Qt::AltModifier) s |= kAltKey;
    if (m & Qt::ControlModifier) s |= kCtrlKey;
    const Qt::MouseButtons b = e->buttons();  // held after the event
    if (b & Qt::LeftButton) s |= kLeftButton;
    if (b & Qt::RightButton) s |= kRightButton;
    if (b & Qt::MiddleButton) s |= kMiddleButton;
    return s;
}

TMouseButton ButtonOf(Qt::MouseButton b) {
    switch (b) {
        case Qt::LeftButton: return TMouseButton::Left;
        case Qt::RightButton: return TMouseButton::Right;
        default: return TMouseButton::Middle;
    }
}
}  // namespace

TQtPaintBox::TQtPaintBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    Resize(0, 0);
}

template <class F>
void TQtPaintBox::Guarded(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        if (OnError) OnError(QString::fromUtf8(e.what()));
    } catch (...) {
        if (OnError) OnError(QStringLiteral("unknown error"));
    }
}

void TQtPaintBox::Resize(int w, int h) {
    w = std::max(w, 0);
    h = std::max(h, 0);
    setMinimumSize(w, h);
    resize(w, h);
    if (offscreen_.size() == QSize(w, h)) return;
    if (w == 0 || h == 0) {
        offscreen_ = QImage();
        return;
    }
    QImage next(w, h, QImage::Format_RGB32);
    next.fill(Qt::white);
    if (!offscreen_.isNull()) {
        QPainter p(&next);
        p.drawImage(0, 0, offscreen_);
    }
    offscreen_ = std::move(next);
}

void TQtPaintBox::SetControlWidth(int32_t w) { Resize(w, height()); }
void TQtPaintBox::SetControlHeight(int32_t h) { Resize(width(), h); }

TRect TQtPaintBox::ClipRect() const {
    const QRect r = inPaint_ ? paintClip_ : rect();
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

void TQtPaintBox::StretchCopy(const TBgrImage& image, const TRect& src, const TRect& dst) {
    if (!image.Bits || image.Width <= 0 || image.Height <= 0 || offscreen_.isNull()) return;
    const QImage source(image.Bits, image.Width, image.Height, image.Stride, QImage::Format_BGR888);
    const QRect target = ToQRect(dst);
    {
        QPainter p(&offscreen_);
        // Rows and columns are dropped or repeated, never blended.
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(target, source, ToQRect(src));
    }
    presented_ += target;
    if (!inPaint_) update(target);
}

void TQtPaintBox::ProcessPendingEvents() { QCoreApplication::processEvents(); }

void TQtPaintBox::HookEvents(TPaintBoxHandlers handlers) { handlers_ = std::move(handlers); }
void TQtPaintBox::UnhookEvents() { handlers_ = {}; }

void TQtPaintBox::paintEvent(QPaintEvent* event) {
    // What the view presented since the last paint is already in the
    // offscreen image; anything else is rendered now through the view.
    if (!presented_.contains(event->rect()) && handlers_.Paint) {
        inPaint_ = true;
        paintClip_ = event->rect();
        Guarded([&] { handlers_.Paint(); });
        inPaint_ = false;
    }
    presented_ -= event->region();
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(event->rect(), offscreen_, event->rect());
}

void TQtPaintBox::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (handlers_.MouseDown)
        Guarded([&] { handlers_.MouseDown(ButtonOf(event->button()), ShiftOf(event), pos.x(), pos.y()); });
}

void TQtPaintBox::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (handlers_.MouseMove) Guarded([&] { handlers_.MouseMove(ShiftOf(event), pos.x(), pos.y()); });
}

void TQtPaintBox::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (handlers_.MouseUp)
        Guarded([&] { handlers_.MouseUp(ButtonOf(event->button()), ShiftOf(event), pos.x(), pos.y()); });
}

}  // namespace quenlo
