#pragma once
// Reports of the players' own threads reach the windows' controls on the
// user-interface thread, queued in the order they were made; a report made on that
// thread runs at once. Queued work is dropped when `context` is gone.
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <utility>

namespace kv::app {

template <class Work>
void RunOnUiThreadQueued(QObject* context, Work work)
{
    if (QThread::currentThread() == context->thread())
        work();
    else
        QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
}

}  // namespace kv::app
