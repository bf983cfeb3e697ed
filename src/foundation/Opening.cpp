#include "foundation/Opening.h"

#include "foundation/HarkwellLog.h"
#include "platform/workspace/Workspace.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <atomic>

namespace harkwell {

namespace {

std::atomic<Workspace*> g_workspace{nullptr};

Workspace& workspace()
{
    static DesktopWorkspace desktop;
    Workspace* chosen = g_workspace.load();
    return chosen ? *chosen : desktop;
}

void logFailure(const QUrl& url, const QString& reason)
{
    const QString target = url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded);
    HarkwellLog::log(QStringLiteral("[harkwell] open %1 failed -- %2").arg(target, reason));
}

void open(const QUrl& url)
{
    // The desktop hands a missing file to a helper that fails out of sight; say so here instead.
    if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) {
        logFailure(url, QStringLiteral("The file doesn’t exist."));
        return;
    }
    if (!workspace().openWithoutWaiting(url))
        logFailure(url, QStringLiteral("No application knows how to open it."));
}

}  // namespace

void Opening::openWithoutWaiting(const QUrl& url)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        open(url);
        return;
    }
    QMetaObject::invokeMethod(app, [url] { open(url); }, Qt::QueuedConnection);
}

void Opening::setWorkspace(Workspace* workspace) { g_workspace.store(workspace); }

}  // namespace harkwell
