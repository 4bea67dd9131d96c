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
    setAutoFillBackground(false);
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
}

void TQtPaintBox::SetControlWidth(int32_t w) { Resize(w, height()); }
void TQtPaintBox::SetControlHeight(int32_t h) { Resize(width(), h); }

TRect TQtPaintBox::ClipRect() const {
    // Outside a paint event only the part on screen needs drawing; the rest
    // is drawn by the paint events that scrolling brings.
    QRect r = painter_ ? paintClip_ : (isVisible() ? visibleRegion().boundingRect() : QRect());
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

void TQtPaintBox::StretchCopy(const TBgrImage& image, const TRect& src, const TRect& dst) {
    if (!image.Bits || image.Width <= 0 || image.Height <= 0) return;
    const QRect target = ToQRect(dst);
    if (target.isEmpty()) return;
    const QImage source(image.Bits, image.Width, image.Height, image.Stride, QImage::Format_BGR888);
    // Rows and columns are dropped or repeated, never blended.
    if (painter_) {
        painter_->setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter_->setCompositionMode(QPainter::CompositionMode_Source);
        painter_->drawImage(target, source, ToQRect(src));
        return;
    }
    QImage piece(target.size(), QImage::Format_RGB32);
    {
        QPainter p(&piece);
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(QRect(QPoint(0, 0), target.size()), source, ToQRect(src));
    }
    // A newer piece hides older ones under it.
    std::erase_if(pending_, [&](const Piece& old) { return target.contains(old.rect); });
    pending_.push_back({std::move(piece), target});
    update(target);
}

QRegion TQtPaintBox::Pending() const {
    QRegion r;
    for (const Piece& piece : pending_) r += piece.rect;
    return r;
}

void TQtPaintBox::ProcessPendingEvents() { QCoreApplication::processEvents(); }

void TQtPaintBox::HookEvents(TPaintBoxHandlers handlers) { handlers_ = std::move(handlers); }
void TQtPaintBox::UnhookEvents() { handlers_ = {}; }

void TQtPaintBox::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setClipRegion(event->region());
    // What the view presented since the last paint is shown as it is;
    // anything else is rendered now through the view, straight onto the control.
    QRegion covered;
    for (const Piece& piece : pending_) {
        if (!event->region().intersects(piece.rect)) continue;
        p.drawImage(piece.rect.topLeft(), piece.image);
        covered += piece.rect;
    }
    std::erase_if(pending_, [&](const Piece& piece) { return event->region().contains(piece.rect); });
    const QRegion missing = event->region() - covered;
    if (missing.isEmpty()) return;
    if (!handlers_.Paint) {
        p.fillRect(missing.boundingRect(), Qt::white);
        return;
    }
    painter_ = &p;
    paintClip_ = missing.boundingRect();
    Guarded([&] { handlers_.Paint(); });
    painter_ = nullptr;
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
