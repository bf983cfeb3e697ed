#include "foundation/Opening.h"

#include "foundation/HarkwellLog.h"
#include "platform/schemes/SchemeHandlers.h"
#include "platform/workspace/Workspace.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThreadPool>

#include <atomic>
#include <functional>

namespace harkwell {

namespace {

std::atomic<Workspace*> g_workspace{nullptr};
std::atomic<const SchemeHandlers*> g_schemeHandlers{nullptr};

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

const SchemeHandlers& schemeHandlers()
{
    static XdgSchemeHandlers desktop;
    const SchemeHandlers* chosen = g_schemeHandlers.load();
    return chosen ? *chosen : desktop;
}

const QString kNoApplication = QStringLiteral("No application knows how to open it.");

void hand(const QUrl& url)
{
    if (!workspace().openWithoutWaiting(url))
        logFailure(url, kNoApplication);
}

void onMainThread(std::function<void()> work)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        work();
        return;
    }
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

void open(const QUrl& url)
{
    // The desktop hands a missing file to a helper that fails out of sight; say so here instead.
    if (url.isLocalFile()) {
        if (!QFileInfo::exists(url.toLocalFile()))
            logFailure(url, QStringLiteral("The file doesn’t exist."));
        else
            hand(url);
        return;
    }
    // The desktop's opener says yes to any link and fails out of sight when nothing handles it, so
    // the handler is looked up first; the lookup runs a program, which the main thread never waits on.
    QThreadPool::globalInstance()->start([url] {
        const bool handled = schemeHandlers().hasHandler(url);
        onMainThread([url, handled] {
            if (handled)
                hand(url);
            else
                logFailure(url, kNoApplication);
        });
    });
}

}  // namespace

void Opening::openWithoutWaiting(const QUrl& url)
{
    onMainThread([url] { open(url); });
}

void Opening::setWorkspace(Workspace* workspace) { g_workspace.store(workspace); }

void Opening::setSchemeHandlers(const SchemeHandlers* handlers) { g_schemeHandlers.store(handlers); }

}  // namespace harkwell
