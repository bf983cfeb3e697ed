#include "app/Brand.h"
#include "app/HarkwellApp.h"
#include "app/LiveAppServices.h"
#include "foundation/HarkwellLog.h"
#include "platform/identity/Identity.h"
#include "platform/instance/InstanceLock.h"
#include "platform/limits/ProcessLimits.h"
#include "platform/memory/HeapRelease.h"
#include "platform/notifications/Notifications.h"
#include "platform/paths/Paths.h"
#include "platform/schemes/SchemeHandlers.h"
#include "platform/signals/QuitSignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    using namespace harkwell;
    HeapRelease::keepFewFreePages();
    // Before any thread: a large vault's walk and the capture's watches need more descriptors than
    // a desktop session gives a program by default.
    ProcessLimits::raiseDescriptorLimit();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(identity::kApplicationName));
    QApplication::setApplicationVersion(QString::fromLatin1(identity::kVersion));
    QApplication::setDesktopFileName(QString::fromLatin1(identity::kBundleIdentifier));
    QApplication::setQuitOnLastWindowClosed(false);
    // The windows' icon: the menu-bar microphone in the brand's colour.
    QApplication::setWindowIcon(QIcon(Brand::menuBarGlyph(Brand::accent(QApplication::palette()), 8.0)));

    InstanceLock lock(Paths::instanceLockFile());
    if (const auto held = lock.acquire(); !held) {
        HarkwellLog::log(QStringLiteral("[harkwell] launch: %1; this start quits").arg(held.error().text));
        HarkwellLog::waitUntilWritten();
        return 0;
    }

    // A logout, Ctrl+C or a closed terminal quits as the menu's Quit does, so that what is under way
    // (a recording, the capture queues) closes in order rather than being cut off.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &app, [](int signal) {
        HarkwellLog::log(QStringLiteral("[harkwell] quit: %1 received; quitting").arg(QuitSignals::name(signal)));
        QCoreApplication::quit();
    });
    if (const auto installed = quitSignals.install(); !installed)
        HarkwellLog::log(QStringLiteral("[harkwell] quit: %1").arg(installed.error().text));

    LiveAppServices services;
    XdgSchemeHandlers schemeHandlers;
    HarkwellApp harkwell(services, Notifications::current(), schemeHandlers);
    harkwell.start();
    const int status = app.exec();
    HarkwellLog::log(QStringLiteral("[harkwell] quit: done"));
    HarkwellLog::waitUntilWritten();
    return status;
}
