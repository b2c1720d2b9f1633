#include "platform/UiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>

namespace kv::platform {

namespace {

enum class TCallState { Pending, Running, Done, Cancelled };

struct TUiCall {
    std::function<void()> Work;
    const void* Owner = nullptr;
    TCallState State = TCallState::Pending;
};

// Hand-offs are kept here rather than only in Qt's event queue so that the UI
// thread can run or cancel them while it waits for a worker (destruction must
// never wait on a worker that waits on the UI thread).
std::mutex& CallsLock()
{
    static std::mutex lock;
    return lock;
}
std::condition_variable& CallsChanged()
{
    static std::condition_variable changed;
    return changed;
}
std::list<std::shared_ptr<TUiCall>>& PendingCalls()
{
    static std::list<std::shared_ptr<TUiCall>> calls;
    return calls;
}

void RunCall(const std::shared_ptr<TUiCall>& call)
{
    {
        std::lock_guard lock(CallsLock());
        if (call->State != TCallState::Pending) return;
        call->State = TCallState::Running;
        PendingCalls().remove(call);
    }
    try {
        call->Work();
    } catch (...) {
        // The waiting worker gets control back either way; an escaping error must
        // not leave it blocked for ever.
    }
    {
        std::lock_guard lock(CallsLock());
        call->State = TCallState::Done;
    }
    CallsChanged().notify_all();
}

}  // namespace

bool IsUiThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void RunOnUiThreadAndWait(const std::function<void()>& work)
{
    RunOnUiThreadAndWait(work, nullptr);
}

bool RunOnUiThreadAndWait(const std::function<void()>& work, const void* owner)
{
    if (IsUiThread()) {
        work();
        return true;
    }
    auto call = std::make_shared<TUiCall>();
    call->Work = work;
    call->Owner = owner;
    {
        std::lock_guard lock(CallsLock());
        PendingCalls().push_back(call);
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), [call] { RunCall(call); }, Qt::QueuedConnection);
    std::unique_lock lock(CallsLock());
    CallsChanged().wait(lock, [&] { return call->State == TCallState::Done || call->State == TCallState::Cancelled; });
    return call->State == TCallState::Done;
}

void ProcessPendingUiCalls()
{
    if (!IsUiThread()) return;
    for (;;) {
        std::shared_ptr<TUiCall> next;
        {
            std::lock_guard lock(CallsLock());
            if (PendingCalls().empty()) return;
            next = PendingCalls().front();
        }
        RunCall(next);
    }
}

void CancelUiCalls(const void* owner)
{
    {
        std::lock_guard lock(CallsLock());
        auto& calls = PendingCalls();
        for (auto it = calls.begin(); it != calls.end();) {
            if ((*it)->Owner == owner && (*it)->State == TCallState::Pending) {
                (*it)->State = TCallState::Cancelled;
                it = calls.erase(it);
            } else {
                ++it;
            }
        }
    }
    CallsChanged().notify_all();
}

bool HasPendingUiCalls()
{
    std::lock_guard lock(CallsLock());
    return !PendingCalls().empty();
}

}  // namespace kv::platform
