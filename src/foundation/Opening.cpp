#include "foundation/Opening.h"

#include "foundation/HarkwellLog.h"
#include "platform/files/FileNames.h"
#include "platform/childprocess/ProcessRunner.h"
#include "platform/schemes/SchemeHandlers.h"
#include "platform/workspace/Workspace.h"

#include <QCoreApplication>
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

// The looks before an open: each ends by its time limit, and none is waited for at exit.
QThreadPool& lookups()
{
    static QThreadPool* pool = new QThreadPool;
    return *pool;
}

enum class Presence { Exists, Missing, NotAnswering };

// By a child process: a file on a frozen mount would hold up any thread that looked itself.
Presence presenceOf(const QUrl& url)
{
    const auto looked = ProcessRunner::system().run(QList<QByteArray>{"test", "-e", FileNames::nativePath(url)},
                                                    Opening::kLookLimit, {});
    if (!looked)
        return Presence::Exists;  // nothing to look with: the desktop says what it finds
    if (looked->ending == ProcessRun::Ending::KilledAtLimit)
        return Presence::NotAnswering;
    return looked->succeeded() ? Presence::Exists : Presence::Missing;
}

void open(const QUrl& url)
{
    // The desktop hands a missing file to a helper that fails out of sight; say so here instead.
    if (url.isLocalFile()) {
        lookups().start([url] {
            const Presence presence = presenceOf(url);
            onMainThread([url, presence] {
                switch (presence) {
                case Presence::Exists:
                    hand(url);
                    break;
                case Presence::Missing:
                    logFailure(url, QStringLiteral("The file doesn’t exist."));
                    break;
                case Presence::NotAnswering:
                    logFailure(url, QStringLiteral("The disk the file is on doesn’t answer."));
                    break;
                }
            });
        });
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
