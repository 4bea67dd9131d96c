#pragma once
// The paint box on Qt: a widget that keeps the size the view gives it,
// shows what the view presents, and routes its paint and mouse events to
// the hooked handlers. Only the part on screen is ever drawn, so a large
// image costs no more than the window shows of it. The view sees device
// pixels: sizes, clip rectangles and pointer positions are scaled by the
// screen's device pixel ratio, so 100 % is one image pixel per device pixel.
#include <QImage>
#include <QPainter>
#include <QRegion>
#include <QWidget>
#include <functional>
#include <vector>

#include "scene/kinds/Pbox.h"

namespace quenlo {

class TQtPaintBox : public QWidget, public IPaintBoxPlatform {
    Q_OBJECT
public:
    explicit TQtPaintBox(QWidget* parent = nullptr);

    void SetControlWidth(int32_t w) override;
    void SetControlHeight(int32_t h) override;
    TRect ClipRect() const override;
    void StretchCopy(const TBgrImage& image, const TRect& src, const TRect& dst) override;
    void ProcessPendingEvents() override;
    void HookEvents(TPaintBoxHandlers handlers) override;
    void UnhookEvents() override;

    // Presented pieces waiting for their paint event, in widget coordinates.
    QRegion Pending() const;
    // The size the view gave, in device pixels.
    QSize DeviceSize() const { return deviceSize_; }

    // Errors raised by a handler never cross Qt's event loop; they come here.
    std::function<void(const QString& message)> OnError;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void Resize(int w, int h);  // device pixels
    double Dpr() const;
    // Device-pixel rectangles from widget ones, covering every pixel touched.
    QRect ToDevice(const QRect& r) const;
    QRegion ToDevice(const QRegion& r) const;
    QRect ToLogical(const QRect& r) const;
    QPoint DevicePos(const QMouseEvent* e) const;
    template <class F>
    void Guarded(F&& f);

    struct Piece {
        QImage image;  // already stretched to rect's size
        QRect rect;    // device pixels
    };

    QSize deviceSize_;

    TPaintBoxHandlers handlers_;
    std::vector<Piece> pending_;   // presented outside a paint event, oldest first
    QPainter* painter_ = nullptr;  // the control's painter while a paint event runs
    QRect paintClip_;  // device pixels
};

}  // namespace quenlo
