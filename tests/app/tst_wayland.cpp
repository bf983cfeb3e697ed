// The application on a Wayland desktop: a headless weston of the test's own, Qt's Wayland
// platform, no tray. Start-up puts the menu's rows in a window, and the compositor shows it.

#include "RecordingServices.h"
#include "app/HarkwellApp.h"
#include "app/MenuWindow.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/schemes/SchemeHandlers.h"
#include "support/TempHome.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

using namespace harkwell;

class WaylandTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QGuiApplication::platformName().startsWith("wayland"), qPrintable(QGuiApplication::platformName())); }

    void theMenuWindowOpens()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        test::RecordingServices services;
        services.watching = true;
        HarkwellApp app(services, notifications, schemes);
        app.start();
        QTRY_VERIFY(app.menuWindow() && app.menuWindow()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(app.menuWindow()->windowHandle() && app.menuWindow()->windowHandle()->isExposed(), 10000);
        QVERIFY(!app.trayIcon());
    }
};

int main(int argc, char** argv)
{
    // A compositor of our own, reached through a runtime folder of our own.
    QTemporaryDir runtime;
    if (!runtime.isValid() || !QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return 1;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    QProcess weston;
    weston.setProcessEnvironment(environment);
    weston.setProcessChannelMode(QProcess::MergedChannels);
    weston.start("weston", {"--backend=headless-backend.so", "--socket=wayland-harkwell", "--idle-time=0", "--no-config"});
    if (!weston.waitForStarted(10000)) {
        qCritical("weston did not start (the weston package)");
        return 1;
    }
    // The socket is there once weston has said it is up.
    const QString socket = runtime.path() + "/wayland-harkwell";
    while (!QFileInfo::exists(socket) && weston.waitForReadyRead(10000))
        weston.readAll();
    if (!QFileInfo::exists(socket)) {
        qCritical("weston made no Wayland socket: %s", weston.readAll().constData());
        return 1;
    }
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qputenv("WAYLAND_DISPLAY", "wayland-harkwell");
    qputenv("QT_QPA_PLATFORM", "wayland");
    qunsetenv("DISPLAY");
    int status = 0;
    {
        QApplication application(argc, argv);
        WaylandTest test;
        status = QTest::qExec(&test, argc, argv);
    }
    weston.terminate();
    weston.waitForFinished(5000);
    return status;
}

#include "tst_wayland.moc"
