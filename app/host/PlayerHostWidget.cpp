#include "app/host/PlayerHostWidget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <chrono>
#include <thread>

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

bool ShowAsWholeWindow(QWidget& window, TPlayerHostWidget* host, QSize size, int timeoutMs)
{
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(host);
    window.resize(size);
    window.show();
    QElapsedTimer clock;
    clock.start();
    while (!host->windowHandle() || !host->windowHandle()->isExposed()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void PreferX11Platform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
}

}  // namespace kv::app
