#pragma once
// The paint box on Qt: a widget that keeps the size the view gives it,
// shows what the view presents, and routes its paint and mouse events to
// the hooked handlers. Only the part on screen is ever drawn, so a large
// image costs no more than the window shows of it.
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

    // Presented pieces waiting for their paint event.
    QRegion Pending() const;

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

    struct Piece {
        QImage image;  // already stretched to rect's size
        QRect rect;
    };

    TPaintBoxHandlers handlers_;
    std::vector<Piece> pending_;   // presented outside a paint event, oldest first
    QPainter* painter_ = nullptr;  // the control's painter while a paint event runs
    QRect paintClip_;
};

}  // namespace quenlo
