#pragma once
// Zoom of a paint-box view in fixed steps, through TPbox::SetZoom:
// Ctrl+wheel over the view, Ctrl+plus, Ctrl+minus, Ctrl+0 (100 %) and
// Ctrl+9 (the whole scene in the window).
#include <QObject>
#include <QSize>
#include <functional>

class QKeyEvent;
class QScrollArea;

namespace quenlo {

class TPbox;

class TZoomControl : public QObject {
public:
    // Zoom steps, in percent, that the keys and the wheel walk through.
    static const int kSteps[];
    static const int kStepCount;

    // sceneSize: the scene's size at 100 %; onChanged runs after every
    // change. The view and the scroll area must outlive this.
    TZoomControl(TPbox& view, QScrollArea& scroll, std::function<QSize()> sceneSize,
                 std::function<void()> onChanged = {});

    // Limited so the paint box stays a sane size; repaints the view.
    void SetPercent(int percent);
    void In();
    void Out();
    // The largest zoom, up to 100 %, showing the whole scene in the scroll area.
    void Fit();
    // Since Fit, until another zoom is chosen: each new scene is fitted too.
    bool Fitting() const { return fitting_; }
    int Percent() const;

    // Ctrl+plus, Ctrl+minus, Ctrl+0, Ctrl+9: true when it was one of them.
    bool HandleKey(const QKeyEvent& event);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The largest zoom whose paint box stays within the limits.
    int MaxPercent() const;
    void Apply(int percent);

    TPbox& view_;
    QScrollArea& scroll_;
    std::function<QSize()> sceneSize_;
    std::function<void()> onChanged_;
    int wheelRest_ = 0;
    bool fitting_ = false;  // wheel turns below one notch, kept for the next event
};

}  // namespace quenlo
