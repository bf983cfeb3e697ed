// The shell's small pieces: the label's time format and content, where a notification click leads,
// the login item's default and choices, the relaunch helper, one instance per user, the links.

#include "app/AppRelaunch.h"
#include "app/HarkwellLinks.h"
#include "app/LoginItem.h"
#include "app/MenuBarLabel.h"
#include "app/NotificationDelegate.h"
#include "foundation/HarkwellLog.h"
#include "platform/autostart/FakeAutostart.h"
#include "platform/instance/InstanceLock.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/paths/Paths.h"
#include "platform/schemes/SchemeHandlers.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

using namespace harkwell;

using Payload = QMap<QString, QString>;

namespace {

using test::logText;

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

class AppShellTest : public QObject {
    Q_OBJECT
private slots:
    void formatElapsed_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "00:00";
        QTest::newRow("fraction truncates") << 59.9 << "00:59";
        QTest::newRow("over a minute") << 61.0 << "01:01";
        QTest::newRow("last second before the hour") << 3599.0 << "59:59";
        QTest::newRow("one hour") << 3600.0 << "1:00:00";
        QTest::newRow("hours have no leading zero and no cap") << 36061.0 << "10:01:01";
        QTest::newRow("a hundred hours") << 360000.0 << "100:00:00";
        QTest::newRow("negative") << -5.0 << "00:00";
        QTest::newRow("not a number") << std::nan("") << "00:00";
    }
    void formatElapsed()
    {
        QFETCH(double, seconds);
        QFETCH(QString, text);
        QCOMPARE(MenuBarLabel::formatElapsed(seconds), text);
    }

    void labelShowsCountUnlessRecording()
    {
        QCOMPARE(MenuBarLabel::content(false, 12.0, 0), (MenuBarLabel::Content{false, "0"}));
        QCOMPARE(MenuBarLabel::content(false, 12.0, 1234), (MenuBarLabel::Content{false, "1234"}));
        QCOMPARE(MenuBarLabel::content(true, 3600.0, 7), (MenuBarLabel::Content{true, "1:00:00"}));
        QVERIFY(MenuBarLabel::toolTip(MenuBarLabel::content(true, 61, 7)).contains("01:01"));
        QVERIFY(MenuBarLabel::toolTip(MenuBarLabel::content(false, 0, 7)).contains("7"));
    }

    void linksFollowFirstLanguage_data()
    {
        QTest::addColumn<QStringList>("languages");
        QTest::addColumn<QString>("segment");
        QTest::newRow("Swedish with region") << QStringList{"sv-SE", "en-US"} << "sv";
        QTest::newRow("Swedish second") << QStringList{"de-DE", "sv-SE"} << "en";
        QTest::newRow("none") << QStringList{} << "en";
    }
    void linksFollowFirstLanguage()
    {
        QFETCH(QStringList, languages);
        QFETCH(QString, segment);
        QCOMPARE(HarkwellLinks::languageSegment(languages), segment);
        QVERIFY(HarkwellLinks::productPage().isValid());
        QVERIFY(HarkwellLinks::productPage().toString().endsWith("/mac/"));
        QVERIFY(HarkwellLinks::setupGuide().toString().endsWith("/onboarding/"));
    }

    // --- notification clicks ---

    void clickRouting_data()
    {
        QTest::addColumn<Payload>("payload");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<int>("settingsShown");
        QTest::addColumn<int>("recorderShown");

        const QString link = "obsidian://open?vault=Notes&file=_inbox%2F260304-090000.md";
        QTest::newRow("no known key") << Payload{{"other", "x"}} << "" << 0 << 0;
        QTest::newRow("capture settings") << Payload{{"action", "captureSettings"}, {"filePath", "/v/_inbox"}} << "" << 1 << 0;
        QTest::newRow("recorder") << Payload{{"action", "recorder"}} << "" << 0 << 1;
        QTest::newRow("unknown action ignores links")
            << Payload{{"action", "bogus"}, {"obsidianLink", link}, {"filePath", "/v/_inbox/a.md"}} << "" << 0 << 0;
        QTest::newRow("obsidian link wins over file") << Payload{{"obsidianLink", link}, {"filePath", "/v/_inbox/a.md"}} << link << 0 << 0;
        QTest::newRow("unhandled scheme falls back to file")
            << Payload{{"obsidianLink", "nothandled://x"}, {"filePath", "/v/_inbox/a.md"}} << "file:///v/_inbox/a.md" << 0 << 0;
        QTest::newRow("link that does not parse falls back to file")
            << Payload{{"obsidianLink", "::not a url"}, {"filePath", "/v/a b.md"}} << "file:///v/a b.md" << 0 << 0;
        QTest::newRow("batched notice opens the inbox folder") << Payload{{"filePath", "/v/_inbox"}} << "file:///v/_inbox" << 0 << 0;
    }
    void clickRouting()
    {
        QFETCH(Payload, payload);
        QFETCH(QString, opened);
        QFETCH(int, settingsShown);
        QFETCH(int, recorderShown);

        FakeNotifications centre;
        FakeSchemeHandlers handlers({"obsidian", "file"});
        QList<QUrl> openedUrls;
        int settings = 0;
        int recorder = 0;
        NotificationDelegate delegate(centre, handlers,
                                      {[&] { ++settings; }, [&] { ++recorder; }, [&](const QUrl& url) { openedUrls << url; }});
        NotificationRequest request;
        request.identifier = "harkwell.transcript.x";
        request.payload = payload;
        centre.click(request);

        // Windows open on a later turn of the main loop, after the click has been answered.
        QCOMPARE(settings + recorder, 0);
        QCoreApplication::processEvents();
        QCOMPARE(settings, settingsShown);
        QCOMPARE(recorder, recorderShown);
        QCOMPARE(openedUrls.size(), opened.isEmpty() ? 0 : 1);
        if (!opened.isEmpty())
            QCOMPARE(openedUrls.first().toString(), opened);
    }

    // --- login item ---

    void loginItemFirstLaunchRegistersAndRemembers()
    {
        test::TempHome home;
        Defaults defaults = Defaults::standard();
        defaults.setValue(LoginItem::kOlderDecidedKey, true);
        XdgAutostart autostart("/opt/Hark well/bin/harkwell");
        LoginItem item(autostart, defaults, true);

        item.enableByDefaultOnce();
        QVERIFY(!defaults.contains(LoginItem::kOlderDecidedKey));
        QVERIFY(defaults.boolValue(LoginItem::kChosenKey));
        QCOMPARE(autostart.status(), AutostartStatus::Enabled);
        QVERIFY(readFile(Paths::autostartFile()).contains("Exec=\"/opt/Hark well/bin/harkwell\"\n"));
        const QString log = logText();
        QVERIFY(log.contains("[harkwell] login item: not registered\n"));
        QVERIFY(log.contains("[harkwell] login item: on by default (no choice made yet)\n"));
        QVERIFY(log.contains("[harkwell] login item: registered (now enabled)\n"));

        // The user turns it off; later launches leave it off.
        QVERIFY(!item.set(false).has_value());
        QVERIFY(!QFile::exists(Paths::autostartFile()));
        QVERIFY(logText().contains("[harkwell] login item: unregistered (now not registered)\n"));
        item.enableByDefaultOnce();
        QCOMPARE(autostart.status(), AutostartStatus::NotRegistered);
    }

    void loginItemEntryHiddenCountsAsOff()
    {
        test::TempHome home;
        home.writeFile(Paths::autostartFile(), "[Desktop Entry]\nType=Application\nHidden=true\n");
        XdgAutostart autostart("/usr/bin/harkwell");
        QCOMPARE(autostart.status(), AutostartStatus::NotRegistered);
        QVERIFY(autostart.registerItem().has_value());
        QCOMPARE(autostart.status(), AutostartStatus::Enabled);
    }

    // Installed on the PATH, the entry names the command, so the login start follows the installed
    // copy; any other binary (a build tree, a copy elsewhere) is named by its path.
    void loginItemNamesTheCommandOnlyWhenThePathFindsThisBinary_data()
    {
        QTest::addColumn<QString>("onPath");
        QTest::addColumn<QString>("exec");
        QTest::newRow("this binary") << "bin/harkwell" << "harkwell";
        QTest::newRow("a link to this binary") << "links/harkwell" << "harkwell";
        QTest::newRow("another binary") << "other/harkwell" << "\"%1/build/harkwell\"";
        QTest::newRow("none on the path") << "" << "\"%1/build/harkwell\"";
    }
    void loginItemNamesTheCommandOnlyWhenThePathFindsThisBinary()
    {
        QFETCH(QString, onPath);
        QFETCH(QString, exec);
        test::TempHome home;
        const QString self = home.writeFile("build/harkwell", "binary");
        QDir().mkpath(home.path() + "/bin");
        QVERIFY(QFile::link(self, home.path() + "/bin/harkwell"));
        QDir().mkpath(home.path() + "/links");
        QVERIFY(QFile::link(home.path() + "/bin/harkwell", home.path() + "/links/harkwell"));
        home.writeFile("other/harkwell", "another binary");
        // "bin/harkwell" stands for the installed binary itself, reached through its own link.
        const QString executable = onPath == "bin/harkwell" ? home.path() + "/bin/harkwell" : self;
        QCOMPARE(XdgAutostart::execValue(executable, onPath.isEmpty() ? QString() : home.path() + "/" + onPath),
                 exec.contains("%1") ? exec.arg(home.path()) : exec);
    }

    // An entry a build tree wrote is taken over by the installed copy the PATH finds, and by
    // nothing else.
    void loginItemFollowsTheInstalledCopy_data()
    {
        QTest::addColumn<bool>("runningTheInstalledCopy");
        QTest::addColumn<QString>("exec");
        QTest::newRow("the installed copy") << true << "Exec=harkwell\n";
        QTest::newRow("another copy") << false << "Exec=\"/src/build/harkwell\"\n";
    }
    void loginItemFollowsTheInstalledCopy()
    {
        QFETCH(bool, runningTheInstalledCopy);
        QFETCH(QString, exec);
        test::TempHome home;
        const QString installed = home.writeFile("usr/bin/harkwell", "binary");
        QVERIFY(QFile::setPermissions(installed, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString copy = home.writeFile("copy/harkwell", "another binary");
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(home.path() + "/usr/bin"));
        home.writeFile(Paths::autostartFile(), "[Desktop Entry]\nType=Application\nExec=\"/src/build/harkwell\"\nTerminal=false\n");

        Defaults defaults = Defaults::standard();
        defaults.setBool(LoginItem::kChosenKey, true);
        XdgAutostart autostart(runningTheInstalledCopy ? installed : copy);
        LoginItem(autostart, defaults, true).enableByDefaultOnce();
        qputenv("PATH", oldPath);
        const QString entry = readFile(Paths::autostartFile());
        QVERIFY2(entry.contains(exec), qPrintable(entry));
        QVERIFY(entry.contains("Terminal=false\n"));
        QCOMPARE(logText().contains("[harkwell] login item: now starts the installed copy\n"), runningTheInstalledCopy);
    }

    void loginItemExecLineQuotesEveryReservedCharacter()
    {
        QCOMPARE(XdgAutostart::execLine(R"(/a b/"q"/$x/`c`/back\slash/100%)"),
                 R"("/a b/\\"q\\"/\\$x/\\`c\\`/back\\\\slash/100%%")");
    }

    void loginItemFailedDefaultIsTriedAgain()
    {
        test::TempHome home;
        Defaults defaults = Defaults::standard();
        FakeAutostart autostart;
        autostart.setFailure("read-only file system");
        LoginItem item(autostart, defaults, true);

        item.enableByDefaultOnce();
        QVERIFY(!defaults.contains(LoginItem::kChosenKey));
        QVERIFY(logText().contains("[harkwell] login item: register failed -- read-only file system\n"));
        item.enableByDefaultOnce();
        QCOMPARE(autostart.registerCalls(), 2);

        // A failed switch in the settings window is still the user's choice.
        QCOMPARE(item.set(false), std::optional<QString>("read-only file system"));
        QVERIFY(defaults.boolValue(LoginItem::kChosenKey));
    }

    void loginItemStatusDecides_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("hasBundle");
        QTest::addColumn<bool>("chosenBefore");
        QTest::addColumn<int>("registers");
        QTest::addColumn<bool>("chosenAfter");
        QTest::newRow("enabled already: taken as chosen") << int(AutostartStatus::Enabled) << true << false << 0 << true;
        QTest::newRow("awaiting approval: taken as chosen") << int(AutostartStatus::RequiresApproval) << true << false << 0 << true;
        QTest::newRow("not found: default applied") << int(AutostartStatus::NotFound) << true << false << 1 << true;
        QTest::newRow("user removed it after choosing") << int(AutostartStatus::NotRegistered) << true << true << 0 << true;
        QTest::newRow("no bundle identifier") << int(AutostartStatus::NotRegistered) << false << false << 0 << false;
    }
    void loginItemStatusDecides()
    {
        QFETCH(int, status);
        QFETCH(bool, hasBundle);
        QFETCH(bool, chosenBefore);
        QFETCH(int, registers);
        QFETCH(bool, chosenAfter);
        test::TempHome home;
        Defaults defaults = Defaults::standard();
        if (chosenBefore)
            defaults.setBool(LoginItem::kChosenKey, true);
        FakeAutostart autostart;
        autostart.setStatus(AutostartStatus(status));
        LoginItem(autostart, defaults, hasBundle).enableByDefaultOnce();
        QCOMPARE(autostart.registerCalls(), registers);
        QCOMPARE(defaults.boolValue(LoginItem::kChosenKey), chosenAfter);
    }

    void loginItemDescriptions()
    {
        QCOMPARE(LoginItem::describe(AutostartStatus::RequiresApproval),
                 QString("requires approval in system settings > General > Login Items"));
        QCOMPARE(LoginItem::describe(AutostartStatus(7)), QString("unknown (7)"));
    }

    // --- relaunch ---

    void relaunchHelperStartsPathsWithShellCharactersAsGiven()
    {
        test::TempHome home;
        // A folder name that would run a command if it were pasted into the script text.
        const QString folder = home.make(R"(odd "dir" $(touch pwned) `x` 'q')");
        const QString marker = home.path() + "/started";
        const QString program = folder + "/harkwell";
        {
            QFile file(program);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QStringLiteral("#!/bin/sh\necho started > '%1'\n").arg(marker).toUtf8());
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        }
        // A process that has already ended: the helper must not wait for it.
        QProcess gone;
        gone.start("/bin/true");
        const qint64 gonePid = gone.processId();
        QVERIFY(gone.waitForFinished());
        QVERIFY(AppRelaunch::startHelper(gonePid, program).has_value());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
        QVERIFY(!QFile::exists(QDir::currentPath() + "/pwned"));
        QVERIFY(!QFile::exists(folder + "/pwned"));
        QCOMPARE(AppRelaunch::helperArguments(42, program).mid(2), (QStringList{"sh", "42", program}));
    }

    // --- one instance ---

    void secondInstanceIsRefusedUntilFirstEnds()
    {
        test::TempHome home;
        auto first = std::make_unique<InstanceLock>(Paths::instanceLockFile());
        QVERIFY(first->acquire().has_value());
        InstanceLock second(Paths::instanceLockFile());
        const auto refused = second.acquire();
        QVERIFY(!refused.has_value());
        QVERIFY(refused.error().text.contains(QString::number(QCoreApplication::applicationPid())));
        first.reset();
        QVERIFY(second.acquire().has_value());
    }
};

QTEST_MAIN(AppShellTest)
#include "tst_app_shell.moc"
