// The launch check finds tools the way a non-login shell would, never lets a name or a search path
// become shell text, and turns the interpreter's complaint into one line for the user.

#include "foundation/EnvironmentCheck.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace harkwell;

namespace {

QString writeScript(const test::TempHome& home, const QString& relative, const QByteArray& body)
{
    const QString path = home.writeFile(relative, "#!/bin/sh\n" + body);
    QFile(path).setPermissions(QFile(path).permissions() | QFileDevice::ExeOwner);
    return path;
}

}  // namespace

class EnvironmentCheckTest : public QObject {
    Q_OBJECT
private slots:
    void searchPathAppendsExtraFolders()
    {
        QCOMPARE(EnvironmentCheck::expandedPath("/usr/bin::/bin:", {"/opt/a", "/usr/bin"}), QString("/usr/bin:/bin:/opt/a:/usr/bin"));
        QCOMPARE(EnvironmentCheck::extraSearchPaths(), (QStringList{"/opt/homebrew/bin", "/usr/local/bin", "/opt/local/bin"}));
    }

    void extraFolderIsTriedFirst()
    {
        test::TempHome home;
        const QString extra = writeScript(home, "extra/tool", "exit 0\n");
        const QString onPath = writeScript(home, "onpath/tool", "exit 0\n");
        QCOMPARE(EnvironmentCheck::resolve("tool", {home.path() + "/extra"}, home.path() + "/onpath"), std::optional(extra));
        Q_UNUSED(onPath);
    }

    void pathIsSearchedThroughTheShell()
    {
        test::TempHome home;
        // A search-path folder whose name would run a command if pasted into the shell's text.
        const QString folder = R"(bin $(touch pwned) 'q' "d")";
        const QString tool = writeScript(home, folder + "/tool", "exit 0\n");
        QCOMPARE(EnvironmentCheck::resolve("tool", {home.path() + "/empty"}, "/nonexistent:" + home.path() + "/" + folder),
                 std::optional(tool));
        QVERIFY(!QFile::exists(home.path() + "/pwned"));
    }

    void missingToolsAndHostileNamesResolveToNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("absent") << "harkwell-no-such-tool";
        QTest::newRow("command in the name") << "x; touch pwned-by-name";
    }
    void missingToolsAndHostileNamesResolveToNothing()
    {
        QFETCH(QString, name);
        test::TempHome home;
        QVERIFY(!EnvironmentCheck::resolve(name, {home.path() + "/extra"}, home.path() + "/extra").has_value());
        QVERIFY(!QFile::exists(QDir::currentPath() + "/pwned-by-name"));
    }

    void failureText_data()
    {
        QTest::addColumn<QString>("standardError");
        QTest::addColumn<QString>("text");
        const QString hint = " -- run `pip3 install markdown weasyprint`";
        QTest::newRow("single quotes")
            << "Traceback (most recent call last):\n  File \"<string>\", line 1\nModuleNotFoundError: No module named 'weasyprint'\n"
            << "folioize: missing Python module `weasyprint`" + hint;
        QTest::newRow("double quotes") << "ImportError: No module named \"markdown\"" << "folioize: missing Python module `markdown`" + hint;
        QTest::newRow("dotted module, first match") << "No module named 'pydyf.x'\nNo module named 'other'"
                                                     << "folioize: missing Python module `pydyf.x`" + hint;
        QTest::newRow("names no module") << "OSError: cannot load library 'libpango'" << "folioize environment check failed";
        QTest::newRow("empty") << "" << "folioize environment check failed";
    }
    void failureText()
    {
        QFETCH(QString, standardError);
        QFETCH(QString, text);
        QCOMPARE(EnvironmentCheck::folioizeFailureText(standardError), text);
    }

    void pdfCheckRunsTheInterpreter()
    {
        test::TempHome home;
        QCOMPARE(EnvironmentCheck::checkFolioizeEnvironment(std::nullopt),
                 std::optional<QString>("python3 not found -- install via `brew install python`"));
        const QString good = writeScript(home, "good/python3", "[ \"$1\" = -c ] && [ \"$2\" = 'import markdown, weasyprint' ]\n");
        QCOMPARE(EnvironmentCheck::checkFolioizeEnvironment(good), std::nullopt);
        const QString missing = writeScript(home, "missing/python3", "echo \"No module named 'weasyprint'\" >&2; exit 1\n");
        QVERIFY(EnvironmentCheck::checkFolioizeEnvironment(missing)->contains("`weasyprint`"));
        const auto unstartable = EnvironmentCheck::checkFolioizeEnvironment(home.path() + "/absent/python3");
        QVERIFY(unstartable && unstartable->startsWith("python3 failed to launch: "));
    }
};

QTEST_MAIN(EnvironmentCheckTest)
#include "tst_environment_check.moc"
