#pragma once
// Records what would have been opened.

#include "platform/workspace/Workspace.h"

#include <QList>
#include <QMutex>

namespace harkwell {

class FakeWorkspace final : public Workspace {
public:
    bool openWithoutWaiting(const QUrl& url) override
    {
        QMutexLocker locker(&m_lock);
        m_opened.append(url);
        return m_succeeds;
    }
    QList<QUrl> opened() const
    {
        QMutexLocker locker(&m_lock);
        return m_opened;
    }
    void setSucceeds(bool succeeds) { m_succeeds = succeeds; }

private:
    mutable QMutex m_lock;  // guards m_opened
    QList<QUrl> m_opened;
    bool m_succeeds = true;
};

}  // namespace harkwell
