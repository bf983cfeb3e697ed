#include "app/AppAction.h"
#include "app/Brand.h"
#include "app/CommandLine.h"
#include "app/HarkwellApp.h"
#include "app/LiveAppServices.h"
#include "foundation/HarkwellLog.h"
#include "platform/identity/Identity.h"
#include "platform/instance/DBusInstanceChannel.h"
#include "platform/instance/InstanceLock.h"
#include "platform/limits/ProcessLimits.h"
#include "platform/memory/HeapRelease.h"
#include "platform/notifications/Notifications.h"
#include "platform/paths/LayoutMove.h"
#include "platform/paths/Paths.h"
#include "platform/schemes/SchemeHandlers.h"
#include "platform/signals/QuitSignals.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace {

using namespace harkwell;

// A later launch hands what it was asked to the running instance, which may still be starting.
constexpr std::chrono::seconds kHandOverWait{10};

void print(std::FILE* stream, const QString& text) { std::fputs(text.toLocal8Bit().constData(), stream); }

void moveLibraryLayout()
{
    const LayoutMove::Outcome outcome = LayoutMove::run(Paths::libraryLayout());
    if (outcome.moved > 0)
        HarkwellLog::log(QStringLiteral("[harkwell] launch: moved %1 files of an earlier build from ~/Library to the XDG folders")
                             .arg(outcome.moved));
    for (const QString& kept : outcome.kept)
        HarkwellLog::log(QStringLiteral("[harkwell] launch: %1").arg(kept));
}

}  // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // Help and version touch nothing: no display, no files, no bus.
    const CommandLine command = CommandLine::parse(arguments);
    switch (command.mode) {
    case CommandLine::Mode::Help:
        print(stdout, CommandLine::helpText());
        return 0;
    case CommandLine::Mode::Version:
        print(stdout, CommandLine::versionText());
        return 0;
    case CommandLine::Mode::Invalid:
        print(stderr, command.error + QLatin1Char('\n'));
        return 2;
    case CommandLine::Mode::Run:
        break;
    }
    const AppAction action = command.action.value_or(AppAction::Activate);

    HeapRelease::keepFewFreePages();
    // Before any thread: a large vault's walk and the capture's watches need more descriptors than
    // a desktop session gives a program by default.
    ProcessLimits::raiseDescriptorLimit();
    // A later launch only hands its action over: it needs the bus, not a display, so that
    // `harkwell --quit` works from a terminal without one.
    InstanceLock lock(Paths::instanceLockFile());
    if (const auto held = lock.acquire(); !held) {
        QCoreApplication handing(argc, argv);
        DBusInstanceChannel toRunning;
        const auto handed = toRunning.send(AppActions::name(action), kHandOverWait);
        if (!handed) {
            HarkwellLog::log(QStringLiteral("[harkwell] launch: %1, and %2; this start quits").arg(held.error().text, handed.error().text));
            HarkwellLog::waitUntilWritten();
            print(stderr, QStringLiteral("harkwell: Harkwell is already running, and %1.\n").arg(handed.error().text));
            return 1;
        }
        return 0;
    }
    // Nothing runs, so nothing is to quit; starting only to quit would be a surprise.
    if (action == AppAction::Quit)
        return 0;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(identity::kApplicationName));
    QApplication::setApplicationDisplayName(QString::fromLatin1(identity::kApplicationName));
    QApplication::setApplicationVersion(QString::fromLatin1(identity::kVersion));
    QApplication::setDesktopFileName(QString::fromLatin1(identity::kBundleIdentifier));
    QApplication::setQuitOnLastWindowClosed(false);
    // The windows' icon: the installed theme's, else the menu-bar microphone in the brand's colour.
    QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1(identity::kBundleIdentifier),
                                                 QIcon(Brand::menuBarGlyph(Brand::accent(QApplication::palette()), 8.0))));
    DBusInstanceChannel channel;

    moveLibraryLayout();

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
    QObject::connect(&channel, &InstanceChannel::actionRequested, &harkwell, [&harkwell](const QString& name) {
        if (const auto requested = AppActions::fromName(name))
            harkwell.perform(*requested);
        else
            HarkwellLog::log(QStringLiteral("[harkwell] launch: another launch asked for \"%1\", which is no action").arg(name));
    });
    if (const auto listening = channel.listen(); !listening)
        HarkwellLog::log(QStringLiteral("[harkwell] launch: later launches cannot reach this one: %1").arg(listening.error().text));
    harkwell.start();
    // Started for an action: done once the application runs.
    if (command.action)
        QTimer::singleShot(0, &harkwell, [&harkwell, action] { harkwell.perform(action); });
    const int status = app.exec();
    HarkwellLog::log(QStringLiteral("[harkwell] quit: done"));
    HarkwellLog::waitUntilWritten();
    return status;
}
