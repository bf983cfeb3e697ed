// Harkwell as a desktop installs and starts it: the installed tree (desktop entry, metainfo,
// icons, man page, and a codec module found without the build tree), the command line that
// touches nothing, later launches that reach the running instance over the session bus, and the
// files an earlier build left under ~/Library, moved where the XDG variables say.

#include "platform/paths/Paths.h"
#include "support/PrivateSessionBus.h"
#include "support/TempHome.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace harkwell;
using namespace harkwell::test;

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList everythingUnder(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(it.next());
    return found;
}

// The application as a desktop would start it, but headless and on the given bus (none: no bus).
QProcessEnvironment applicationEnvironment(const QString& busAddress)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (busAddress.isEmpty())
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    else
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    return environment;
}

struct Run {
    int exitCode = -1;
    QByteArray output;
};

Run run(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAll()};
}

void requireTool(const char* name)
{
    QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(name)).isEmpty(),
             qPrintable(QStringLiteral("%1 is missing; scripts/setup installs it").arg(QLatin1String(name))));
}

}  // namespace

class DesktopTest : public QObject {
    Q_OBJECT
private slots:
    void theInstalledTreeValidatesAndEncodesWithoutTheBuildTree()
    {
        requireTool("desktop-file-validate");
        requireTool("appstreamcli");
        QTemporaryDir prefix;
        const Run installed = run(QStringLiteral(CMAKE_COMMAND), {"--install", HARKWELL_BUILD_DIR, "--prefix", prefix.path()});
        QVERIFY2(installed.exitCode == 0, installed.output.constData());

        const QString share = prefix.path() + "/share";
        for (const QString& file : {QStringLiteral("/bin/harkwell"), QStringLiteral("/share/icons/hicolor/scalable/apps/app.harkwell.Harkwell.svg"),
                                    QStringLiteral("/share/icons/hicolor/48x48/apps/app.harkwell.Harkwell.png"),
                                    QStringLiteral("/share/man/man1/harkwell.1")})
            QVERIFY2(QFileInfo::exists(prefix.path() + file), qPrintable(file));

        const Run entry = run("desktop-file-validate", {share + "/applications/app.harkwell.Harkwell.desktop"});
        QVERIFY2(entry.exitCode == 0 && entry.output.isEmpty(), entry.output.constData());
        const Run metainfo = run("appstreamcli", {"validate", "--no-net", share + "/metainfo/app.harkwell.Harkwell.metainfo.xml"});
        QVERIFY2(metainfo.exitCode == 0, metainfo.output.constData());
        QVERIFY(readFile(share + "/metainfo/app.harkwell.Harkwell.metainfo.xml").contains("version=\"" HARKWELL_VERSION "\""));

        const Run version = run(prefix.path() + "/bin/harkwell", {"--version"});
        QCOMPARE(version.exitCode, 0);
        QVERIFY(version.output.startsWith("Harkwell " HARKWELL_VERSION));

        // A program of the installed tree finds the codec module beside it, as the installed
        // binary does. It runs where the build tree's module folder is hidden under an empty one
        // (a mount namespace of its own), so no path into the build tree can stand in.
        requireTool("unshare");
        const QString checker = prefix.path() + "/bin/codec_check";
        QVERIFY(QFile::copy(QStringLiteral(CODEC_CHECK), checker));
        QTemporaryDir empty;
        const Run codecs = run("unshare", {"--mount", "--map-root-user", "sh", "-c", R"(mount --bind "$1" "$2" && shift 2 && exec "$@")",
                                           "sh", empty.path(), QFileInfo(QStringLiteral(CODECS_MODULE)).path(), checker,
                                           prefix.path() + "/part.m4a"});
        QVERIFY2(codecs.exitCode == 0, codecs.output.constData());
        QVERIFY2(qAbs(codecs.output.trimmed().toDouble() - 1.0) < 0.1, codecs.output.constData());
    }

    void helpAndVersionPrintAndTouchNothing_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("printed");
        QTest::newRow("--help") << "--help" << 0 << QByteArray("Usage: harkwell [OPTION]");
        QTest::newRow("-h") << "-h" << 0 << QByteArray("Usage: harkwell [OPTION]");
        QTest::newRow("--version") << "--version" << 0 << QByteArray("Harkwell " HARKWELL_VERSION " (build ");
        QTest::newRow("an unknown option") << "--frobnicate" << 2 << QByteArray("harkwell: unrecognised option '--frobnicate'");
        QTest::newRow("two actions") << "--search --record" << 2 << QByteArray("harkwell: one action at a time");
    }
    void helpAndVersionPrintAndTouchNothing()
    {
        QFETCH(QString, argument);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, printed);
        QTemporaryDir empty;
        QProcessEnvironment environment = applicationEnvironment({});
        environment.insert("HOME", empty.path());
        for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            environment.insert(variable, empty.path());
        const Run result = run(HARKWELL_BINARY, argument.split(' '), environment);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.output.startsWith(printed), result.output.constData());
        QCOMPARE(everythingUnder(empty.path()), QStringList());
    }

    void aLaterLaunchReachesTheRunningOne_data()
    {
        QTest::addColumn<QStringList>("firstArguments");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("asked");
        QTest::addColumn<bool>("laterHasADisplay");
        QTest::newRow("plain") << QStringList() << QStringList() << "activate" << true;
        QTest::newRow("--search") << QStringList() << QStringList{"--search"} << "search" << true;
        QTest::newRow("--quit") << QStringList() << QStringList{"--quit"} << "quit" << true;
        // A terminal without a display hands its action over all the same.
        QTest::newRow("--quit without a display") << QStringList() << QStringList{"--quit"} << "quit" << false;
        // With none running, an action starts Harkwell, which then does it.
        QTest::newRow("started by --settings") << QStringList{"--settings"} << QStringList{"--quit"} << "quit" << true;
    }
    void aLaterLaunchReachesTheRunningOne()
    {
        QFETCH(QStringList, firstArguments);
        QFETCH(QStringList, arguments);
        QFETCH(QString, asked);
        QFETCH(bool, laterHasADisplay);
        TempHome home;
        home.writeFile("Library/Logs/harkwell/harkwell.log", "a line of an earlier build\n");
        home.writeFile("Library/Preferences/app.harkwell.Harkwell.json", R"({"harkwell.loginItem.chosen": true})");
        PrivateSessionBus bus;
        QVERIFY2(!bus.address().isEmpty(), "no private session bus (dbus-daemon)");
        QDBusConnection watcher = bus.connect("watcher");

        QProcessEnvironment environment = applicationEnvironment(bus.address());
        // Killed at the end, as a logout would.
        environment.insert("ASAN_OPTIONS", "detect_leaks=0");
        QProcess first;
        first.setProcessEnvironment(environment);
        first.setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(HARKWELL_BINARY, firstArguments);
        QVERIFY(first.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(watcher.interface()->isServiceRegistered("app.harkwell.Harkwell").value(), 60000);
        for (const QString& argument : firstArguments)
            QTRY_VERIFY_WITH_TIMEOUT(readFile(Paths::logFile()).contains("[harkwell] launch: asked for \"" + argument.mid(2).toUtf8() + "\""), 60000);

        QProcess later;
        QProcessEnvironment laterEnvironment = environment;
        if (!laterHasADisplay)
            laterEnvironment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        later.setProcessEnvironment(laterEnvironment);
        later.setProcessChannelMode(QProcess::ForwardedChannels);
        later.start(HARKWELL_BINARY, arguments);
        QVERIFY(later.waitForFinished(60000));
        QCOMPARE(later.exitCode(), 0);
        const QByteArray line = "[harkwell] launch: asked for \"" + asked.toUtf8() + "\"";
        QTRY_VERIFY_WITH_TIMEOUT(readFile(Paths::logFile()).contains(line), 60000);
        if (asked == "quit") {
            QVERIFY(first.waitForFinished(60000));
            QCOMPARE(first.exitCode(), 0);
        } else {
            QCOMPARE(first.state(), QProcess::Running);
            first.kill();
            first.waitForFinished(10000);
        }

        // Every file where the environment says, the earlier build's among them, none under ~/Library.
        QVERIFY(readFile(Paths::logFile()).startsWith("a line of an earlier build\n"));
        QVERIFY(readFile(Paths::defaultsFile("app.harkwell.Harkwell")).contains("harkwell.loginItem.chosen"));
        QVERIFY(!QFileInfo::exists(home.path() + "/Library"));
        for (const char* fallback : {"/.config", "/.local", "/.cache"})
            QCOMPARE(everythingUnder(home.path() + QLatin1String(fallback)), QStringList());
    }
};

QTEST_GUILESS_MAIN(DesktopTest)
#include "tst_desktop.moc"
