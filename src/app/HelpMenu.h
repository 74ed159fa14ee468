#pragma once
// What the Help menu needs besides the window: where the user manual is, and
// the hand-over of an update check's result from its worker thread to the
// window.

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

#include "update/UpdateCheck.h"

namespace sorvena {

// The first of: the manual installed relative to programDir, the manual
// installed where the build put it, the manual in the source tree. Empty
// when none exists.
QString ManualPath(const QString& programDir);

// Carries an update check's result to the GUI thread. The worker calls
// Deliver (any thread); the handler runs later on receiver's thread. After
// Close (GUI thread; the window calls it when it goes) Deliver does nothing,
// and the running check, if any, is asked to end.
class TUpdateMailbox {
public:
    TUpdateMailbox(QObject* receiver, std::function<void(const TUpdateInfo&)> handler);

    void Deliver(const TUpdateInfo& info);
    void Close();
    void SetWorker(const std::shared_ptr<TWorkerThread>& worker);

private:
    std::mutex m_mutex;  // guards every member: Deliver races Close
    QObject* m_receiver;
    std::function<void(const TUpdateInfo&)> m_handler;
    std::weak_ptr<TWorkerThread> m_worker;
};

}  // namespace sorvena
