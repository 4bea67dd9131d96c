#include "app/QtPaintBox.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <exception>

#include "app/QtText.h"

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
        if (OnError) OnError(QTr("unknown error"));
    }
}

double TQtPaintBox::Dpr() const { return std::max(devicePixelRatioF(), 1e-3); }

QRect TQtPaintBox::ToDevice(const QRect& r) const {
    if (r.isEmpty()) return {};
    const double s = Dpr();
    const int left = int(std::floor(r.left() * s)), top = int(std::floor(r.top() * s));
    const int right = int(std::ceil((r.left() + r.width()) * s)), bottom = int(std::ceil((r.top() + r.height()) * s));
    return QRect(left, top, right - left, bottom - top);
}

QRect TQtPaintBox::ToLogical(const QRect& r) const {
    if (r.isEmpty()) return {};
    const double s = Dpr();
    const int left = int(std::floor(r.left() / s)), top = int(std::floor(r.top() / s));
    const int right = int(std::ceil((r.left() + r.width()) / s)), bottom = int(std::ceil((r.top() + r.height()) / s));
    return QRect(left, top, right - left, bottom - top);
}

QRegion TQtPaintBox::ToDevice(const QRegion& r) const {
    QRegion out;
    for (const QRect& rect : r) out += ToDevice(rect);
    return out;
}

QPoint TQtPaintBox::DevicePos(const QMouseEvent* e) const {
    const QPointF p = e->position() * Dpr();
    return QPoint(int(std::floor(p.x())), int(std::floor(p.y())));
}

void TQtPaintBox::Resize(int w, int h) {
    deviceSize_ = QSize(std::max(w, 0), std::max(h, 0));
    // Rounded up, so the widget holds every device pixel of the image.
    const QSize logical(int(std::ceil(deviceSize_.width() / Dpr())), int(std::ceil(deviceSize_.height() / Dpr())));
    setMinimumSize(logical);
    resize(logical);
}

void TQtPaintBox::SetControlWidth(int32_t w) { Resize(w, deviceSize_.height()); }
void TQtPaintBox::SetControlHeight(int32_t h) { Resize(deviceSize_.width(), h); }

TRect TQtPaintBox::ClipRect() const {
    // Outside a paint event only the part on screen needs drawing; the rest
    // is drawn by the paint events that scrolling brings.
    QRect r = painter_ ? paintClip_ : (isVisible() ? ToDevice(visibleRegion().boundingRect()) : QRect());
    r &= QRect(QPoint(0, 0), deviceSize_);
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

void TQtPaintBox::StretchCopy(const TBgrImage& image, const TRect& src, const TRect& dst) {
    if (!image.Bits || image.Width <= 0 || image.Height <= 0) return;
    const QRect target = ToQRect(dst);
    if (target.isEmpty()) return;
    const QImage source(image.Bits, image.Width, image.Height, image.Stride, QImage::Format_BGR888);
    // The view has already stretched the image to the screen: rectangles
    // are in device pixels, so one image pixel is one device pixel at 100 %.
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
    update(ToLogical(target));
}

QRegion TQtPaintBox::Pending() const {
    QRegion r;
    for (const Piece& piece : pending_) r += ToLogical(piece.rect);
    return r;
}

void TQtPaintBox::ProcessPendingEvents() { QCoreApplication::processEvents(); }

void TQtPaintBox::HookEvents(TPaintBoxHandlers handlers) { handlers_ = std::move(handlers); }
void TQtPaintBox::UnhookEvents() { handlers_ = {}; }

void TQtPaintBox::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setClipRegion(event->region());
    // From here on the painter counts device pixels.
    p.scale(1 / Dpr(), 1 / Dpr());
    const QRegion region = ToDevice(event->region());
    // What the view presented since the last paint is shown as it is;
    // anything else is rendered now through the view, straight onto the control.
    QRegion covered;
    for (const Piece& piece : pending_) {
        if (!region.intersects(piece.rect)) continue;
        p.drawImage(piece.rect.topLeft(), piece.image);
        covered += piece.rect;
    }
    std::erase_if(pending_, [&](const Piece& piece) { return region.contains(piece.rect); });
    const QRegion missing = region - covered;
    if (missing.isEmpty()) return;
    // Device pixels past the image in the last logical pixel.
    p.fillRect(missing.boundingRect(), Qt::white);
    if (!handlers_.Paint) return;
    painter_ = &p;
    paintClip_ = missing.boundingRect();
    Guarded([&] { handlers_.Paint(); });
    painter_ = nullptr;
}

void TQtPaintBox::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = DevicePos(event);
    if (handlers_.MouseDown)
        Guarded([&] { handlers_.MouseDown(ButtonOf(event->button()), ShiftOf(event), pos.x(), pos.y()); });
}

void TQtPaintBox::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = DevicePos(event);
    if (handlers_.MouseMove) Guarded([&] { handlers_.MouseMove(ShiftOf(event), pos.x(), pos.y()); });
}

void TQtPaintBox::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = DevicePos(event);
    if (handlers_.MouseUp)
        Guarded([&] { handlers_.MouseUp(ButtonOf(event->button()), ShiftOf(event), pos.x(), pos.y()); });
}

}  // namespace quenlo
