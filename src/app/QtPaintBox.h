#pragma once
// The paint box on Qt: a widget that keeps the size the view gives it, an
// offscreen 24-bit image that presented maps are stretched into, and the
// paint and mouse events routed to the hooked handlers.
#include <QImage>
#include <QRegion>
#include <QWidget>
#include <functional>

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

    // What the control shows, at control resolution.
    const QImage& Offscreen() const { return offscreen_; }

    // Errors raised by a handler never cross Qt's event loop; they come here.
    std::function<void(const QString& message)> OnError;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void Resize(int w, int h);
    template <class F>
    void Guarded(F&& f);

    TPaintBoxHandlers handlers_;
    QImage offscreen_;
    QRegion presented_;  // drawn into the offscreen image since the last paint event
    QRect paintClip_;
    bool inPaint_ = false;
};

}  // namespace quenlo
