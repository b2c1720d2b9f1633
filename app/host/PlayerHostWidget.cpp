#include "app/host/PlayerHostWidget.h"

namespace kv::app {

TPlayerHostWidget::TPlayerHostWidget(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_PaintOnScreen);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
}

player::TWindowHandle TPlayerHostWidget::PlayerWindow()
{
    return static_cast<player::TWindowHandle>(winId());
}

void PreferX11Platform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
}

}  // namespace kv::app
