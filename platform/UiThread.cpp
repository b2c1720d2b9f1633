#include "platform/UiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace kv::platform {

bool IsUiThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void RunOnUiThreadAndWait(const std::function<void()>& work)
{
    if (IsUiThread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), work, Qt::BlockingQueuedConnection);
}

}  // namespace kv::platform
