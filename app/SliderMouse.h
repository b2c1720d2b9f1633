#pragma once
// The user holding and letting go of a slider that follows playback: `pressed` runs
// when a mouse button goes down on it, `released` once the slider has taken the
// release and moved its thumb. A disabled slider reports nothing.
#include <QEvent>
#include <QObject>
#include <QWidget>

#include <functional>
#include <utility>

#include "app/ActionGuard.h"

namespace kv::app {

class TSliderMouse : public QObject {
public:
    TSliderMouse(QWidget* slider, std::function<void()> pressed, std::function<void()> released)
        : QObject(slider), FSlider(slider), FPressed(std::move(pressed)), FReleased(std::move(released))
    {
        slider->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == FSlider && FSlider->isEnabled()) {
            if (event->type() == QEvent::MouseButtonPress) RunAction("Slider", FPressed);
            if (event->type() == QEvent::MouseButtonRelease)
                QMetaObject::invokeMethod(this, [this] { RunAction("Slider", FReleased); }, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget* FSlider;
    std::function<void()> FPressed;
    std::function<void()> FReleased;
};

}  // namespace kv::app
