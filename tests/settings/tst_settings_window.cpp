// The settings window: one window kept for the run, edits that wait for Save, Save's order, and
// each tab's controls with what they show and what they save.

#include "SettingsFixture.h"

#include "platform/defaults/Defaults.h"
#include "platform/paths/Paths.h"
#include "settings/NumberField.h"
#include "settings/FormSection.h"
#include "settings/SettingsWindowController.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

using namespace harkwell;
using namespace harkwell::test;

namespace {

void typeInto(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

QColor textColour(QLabel* label) { return label->palette().color(QPalette::WindowText); }

void showTab(SettingsView& view, const QString& label)
{
    for (int i = 0; i < view.tabs()->count(); ++i) {
        if (view.tabs()->tabText(i) == label)
            view.tabs()->setCurrentIndex(i);
    }
}

QString tabText(SettingsView& view) { return view.tabs()->tabText(view.tabs()->currentIndex()); }

}  // namespace

class SettingsWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsFixture> f;

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void init() { f = std::make_unique<SettingsFixture>(); }
    void cleanup() { f.reset(); }

    void theWindowIsBuiltOnceAndKeepsItsTab()
    {
        SettingsWindowController controller(f->services());
        controller.show();
        QDialog* window = controller.window();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("harkwell Settings"));
        QCOMPARE(controller.view()->tabs()->tabText(controller.view()->tabs()->currentIndex()), QStringLiteral("General"));
        QStringList labels;
        for (int i = 0; i < controller.view()->tabs()->count(); ++i)
            labels << controller.view()->tabs()->tabText(i);
        QCOMPARE(labels, (QStringList{"General", "Paths", "Scanning", "Files", "Captures", "Recording", "Notify"}));

        showTab(*controller.view(), "Paths");
        window->close();
        QVERIFY(!window->isVisible());
        // Meanwhile the stored settings change; with nothing edited, the window shows them.
        f->store([](AppSettings& s) { s.vaultName = QStringLiteral("Renamed"); });
        controller.show();

        QCOMPARE(controller.window(), window);
        QCOMPARE(field<QLineEdit>(window, "vaultName")->text(), QStringLiteral("Renamed"));
        QCOMPARE(controller.view()->tabs()->tabText(controller.view()->tabs()->currentIndex()), QStringLiteral("Paths"));
        QVERIFY(!QFile::exists(Paths::settingsFile()));
    }

    // Leaving the window never keeps an edit out of sight, to be written by a later Save: Escape,
    // the close button and Cancel ask, and the answer decides.
    void leavingWithAnEditAsks_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("open");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shownAgain");
        QTest::newRow("Escape, discard") << "escape" << "Discard" << false << "~/Vault" << "~/Vault";
        QTest::newRow("close button, discard") << "close" << "Discard" << false << "~/Vault" << "~/Vault";
        QTest::newRow("Cancel button, save") << "cancel" << "Save" << false << "~/Elsewhere" << "~/Elsewhere";
        QTest::newRow("Escape, stay") << "escape" << "Cancel" << true << "~/Vault" << "~/Elsewhere";
    }

    void leavingWithAnEditAsks()
    {
        QFETCH(QString, how);
        QFETCH(QString, answer);
        QFETCH(bool, open);
        QFETCH(QString, stored);
        QFETCH(QString, shownAgain);
        SettingsWindowController controller(f->services());
        controller.show();
        QDialog* window = controller.window();
        typeInto(field<QLineEdit>(window, "vaultPath"), "~/Elsewhere");

        QString asked;
        QTimer answering;
        connect(&answering, &QTimer::timeout, this, [&] {
            auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!question)
                return;
            answering.stop();
            asked = question->text();
            for (QAbstractButton* b : question->buttons())
                if (b->text() == answer)
                    b->click();
        });
        answering.start(10);
        if (how == "escape")
            QTest::keyClick(window, Qt::Key_Escape);
        else if (how == "close")
            window->close();
        else
            button(window, "Cancel")->click();

        QCOMPARE(asked, QStringLiteral("Save your changes to the settings?"));
        QCOMPARE(window->isVisible(), open);
        QCOMPARE(f->settings->settings().vaultPath, stored);
        controller.show();
        QCOMPARE(field<QLineEdit>(window, "vaultPath")->text(), shownAgain);
    }

    void savedGoesOnceTheFormDiffersFromTheFile()
    {
        SettingsWindowController controller(f->services());
        controller.show();
        QDialog* window = controller.window();
        button(window, "Save")->click();
        QLabel* saved = field<QLabel>(window, "saved");
        QVERIFY(saved->isVisible());
        typeInto(field<QLineEdit>(window, "vaultName"), "Other");
        QTRY_VERIFY_WITH_TIMEOUT(!saved->isVisible(), 2000);
    }

    void saveKeepsWhatWasStoredMeanwhile()
    {
        f->store([](AppSettings& s) {
            s.additionalPaths = QStringList{"~/workspace"};
            s.remotesPath = QStringLiteral("~/workspace/remotes");
        });
        SettingsWindowController controller(f->services());
        controller.show();
        SettingsView& view = *controller.view();
        typeInto(field<QLineEdit>(&view, "vaultName"), "Typed");
        // The welcome window commits another vault while this window is open.
        f->store([](AppSettings& s) {
            s.vaultPath = QStringLiteral("~/Chosen");
            s.vaultName = QStringLiteral("Chosen");
            s.additionalPaths.clear();
            s.remotesPath.reset();
        });
        showTab(view, "Notify");
        field<QCheckBox>(&view, "notifyVoiceMemoSent")->click();
        button(&view, "Save")->click();

        const QJsonObject saved = f->settingsFile();
        QCOMPARE(saved.value("vaultPath").toString(), QStringLiteral("~/Chosen"));
        QCOMPARE(saved.value("vaultName").toString(), QStringLiteral("Typed"));  // the user's own edit wins
        QCOMPARE(saved.value("additionalPaths"), QJsonValue(QJsonArray{}));
        QVERIFY(!saved.contains("remotesPath"));
        QCOMPARE(saved.value("notifyVoiceMemoSent"), QJsonValue(false));
        // The window now shows what is stored, and a second Save changes nothing of it.
        QCOMPARE(field<QLineEdit>(&view, "vaultPath")->text(), QStringLiteral("~/Chosen"));
        QVERIFY(!view.hasEdits());
        button(&view, "Save")->click();
        QCOMPARE(f->settingsFile().value("vaultPath").toString(), QStringLiteral("~/Chosen"));

        // Without edits, showing the window again takes up what was stored meanwhile.
        controller.window()->close();
        f->store([](AppSettings& s) { s.vaultPath = QStringLiteral("~/Third"); });
        controller.show();
        QCOMPARE(field<QLineEdit>(&view, "vaultPath")->text(), QStringLiteral("~/Third"));
        QCOMPARE(tabText(view), QStringLiteral("Notify"));
    }

    void returnInAFieldSaves()
    {
        SettingsWindowController controller(f->services());
        controller.show();
        QLineEdit* name = field<QLineEdit>(controller.window(), "vaultName");
        typeInto(name, "Notes");
        QTest::keyClick(name, Qt::Key_Return);
        QCOMPARE(f->settingsFile().value("vaultName").toString(), QStringLiteral("Notes"));
    }

    void saveWritesTheFileThenAppliesInOrder_data()
    {
        QTest::addColumn<bool>("recording");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("idle") << false << QStringList{"capture", "quickKey"};
        QTest::newRow("recording") << true << QStringList{"echo", "capture", "quickKey"};
    }
    void saveWritesTheFileThenAppliesInOrder()
    {
        QFETCH(bool, recording);
        QFETCH(QStringList, calls);
        f->recordingActive = recording;
        SettingsView& view = f->view();
        QStringList fileAtEachCall;
        f->appCalls.clear();
        QLabel* saved = field<QLabel>(&view, "saved");
        QVERIFY(!isShown(saved));
        typeInto(field<QLineEdit>(&view, "vaultName"), "Notes");
        QCOMPARE(f->settings->settings().vaultName, QStringLiteral("Ivander"));

        button(&view, "Save")->click();

        QCOMPARE(f->appCalls, calls);
        QCOMPARE(f->settings->settings().vaultName, QStringLiteral("Notes"));
        QCOMPARE(f->settingsFile().value("vaultName").toString(), QStringLiteral("Notes"));
        QVERIFY(view.saved());
        QCOMPARE(saved->text(), QStringLiteral("Saved."));
        QVERIFY(isShown(saved));
        button(&view, "Restart to apply")->click();
        QCOMPARE(f->appCalls.last(), QStringLiteral("relaunch:Some settings only take effect when harkwell starts."));
    }

    void aSettingsFileThatCannotBeWrittenIsNotReportedAsSaved()
    {
        SettingsView& view = f->view();
        // A folder where the file belongs: the write cannot replace it.
        QVERIFY(QDir().mkpath(Paths::settingsFile()));
        button(&view, "Save")->click();
        QLabel* saved = field<QLabel>(&view, "saved");
        QVERIFY2(saved->text().startsWith(QStringLiteral("Not saved: ")), qPrintable(saved->text()));
        QCOMPARE(textColour(saved), FormSection::errorColour());
        QVERIFY(!isShown(button(&view, "Restart to apply")));
        // The running services still pick up what is in effect now.
        QCOMPARE(f->appCalls, (QStringList{"capture", "quickKey"}));
    }

    void generalTabUpdatesAndLoginActAtOnce()
    {
        SettingsView& view = f->view();
        QVERIFY(button(&view, "harkwell for Linux on harkwell.example"));
        button(&view, "Setup guide, step by step")->click();
        QTRY_COMPARE(f->workspace.opened(), QList<QUrl>{QUrl("https://mirelon.example/en/onboarding/")});

        auto* automatic = qobject_cast<QCheckBox*>(button(&view, "Check for updates automatically"));
        QVERIFY(automatic->isChecked());
        automatic->click();
        QVERIFY(!f->updater->automaticallyChecksForUpdates());
        QCOMPARE(Defaults::standard().value("automaticallyChecksForUpdates"), QJsonValue(false));
        button(&view, "Check for Updates…")->click();
        QVERIFY(f->logText().contains("[harkwell] updater: check for updates requested"));

        auto* login = qobject_cast<QCheckBox*>(button(&view, "Start harkwell at login"));
        QLabel* error = field<QLabel>(&view, "loginItemError");
        f->loginFailure = QStringLiteral("The autostart folder is read-only.");
        login->click();
        QCOMPARE(error->text(), QStringLiteral("The autostart folder is read-only."));
        QVERIFY(isShown(error));
        QVERIFY(!login->isChecked());  // the system's state, not the wish
        f->loginFailure.reset();
        login->click();
        QVERIFY(login->isChecked());
        QVERIFY(!isShown(error));
        QCOMPARE(f->appCalls, (QStringList{"login:on", "login:on"}));
        QVERIFY(!QFile::exists(Paths::settingsFile()));
    }

    void numberFieldsUseTheLocaleAndIgnoreWhatIsNotANumber()
    {
        f->store([](AppSettings& s) { s.inboxGroupThreshold = 1000; });
        SettingsView& view = f->view();
        showTab(view, "Paths");
        auto* inbox = field<NumberField>(&view, "inboxGroupThreshold");
        QCOMPARE(inbox->text(), QStringLiteral("1,000"));
        typeInto(inbox, "2,500");
        QCOMPARE(view.editingCopy().inboxGroupThreshold, 2500);
        typeInto(inbox, "lots");
        QCOMPARE(view.editingCopy().inboxGroupThreshold, 2500);
        typeInto(field<NumberField>(&view, "menuDayLimit"), "0");
        QCOMPARE(view.editingCopy().menuDayLimit, 0);  // kept as typed; Save stores at least 1

        showTab(view, "Scanning");
        auto* interval = field<NumberField>(&view, "refreshInterval");
        QCOMPARE(interval->text(), QStringLiteral("60"));
        typeInto(interval, "0.5");
        button(&view, "Save")->click();
        const QJsonObject saved = f->settingsFile();
        QCOMPARE(saved.value("refreshInterval").toDouble(), 0.5);
        QCOMPARE(saved.value("inboxGroupThreshold").toInt(), 2500);
        QCOMPARE(saved.value("menuDayLimit").toInt(), 1);
    }

    void theRefreshIntervalTakesOnlyWhatTheScannerRunsWith_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<double>("kept");
        QTest::newRow("the shortest") << "0.5" << 0.5;
        QTest::newRow("a day") << "86,400" << 86400.0;
        QTest::newRow("zero") << "0" << 60.0;
        QTest::newRow("below a millisecond") << "0.0001" << 60.0;
        QTest::newRow("negative") << "-5" << 60.0;
        QTest::newRow("over a day") << "86401" << 60.0;
        QTest::newRow("beyond any timer") << "1e19" << 60.0;
    }
    void theRefreshIntervalTakesOnlyWhatTheScannerRunsWith()
    {
        QFETCH(QString, typed);
        QFETCH(double, kept);
        SettingsView& view = f->view();
        showTab(view, "Scanning");
        auto* interval = field<NumberField>(&view, "refreshInterval");
        // Pasted whole: typed key by key, a number above the range passes through ones inside it.
        interval->setText(typed);
        emit interval->textEdited(typed);
        QCOMPARE(view.editingCopy().refreshInterval, kept);
        emit interval->editingFinished();  // leaving the field shows the value it holds
        QCOMPARE(interval->text(), NumberField::format(NumberField::Kind::Decimal, kept));
        button(&view, "Save")->click();
        QCOMPARE(f->settingsFile().value("refreshInterval").toDouble(), kept);
    }

    void pathsTabEditsTheListAndOpensFoldersOfTheSavedVault()
    {
        SettingsView& view = f->view();
        showTab(view, "Paths");
        auto* paths = field<QPlainTextEdit>(&view, "additionalPaths");
        QCOMPARE(paths->toPlainText(), QStringLiteral("~/workspace"));
        paths->setPlainText(QStringLiteral(" ~/one \n\n   \n~/two"));
        showTab(view, "General");
        typeInto(field<QLineEdit>(&view, "vaultPath"), "~/Unsaved");
        showTab(view, "Paths");
        f->home.make("Vault/_inbox");
        button(&view, "Open .handoff folder")->click();  // the vault has none: only a log line
        button(&view, "Open _inbox folder")->click();
        QTRY_COMPARE(f->workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(f->vault() + "/_inbox")});
        QVERIFY(f->logText().contains("[harkwell] open " + f->vault() + "/.handoff failed"));
        QCOMPARE(paths->toPlainText(), QStringLiteral(" ~/one \n\n   \n~/two"));
        button(&view, "Save")->click();
        QCOMPARE(f->settingsFile().value("additionalPaths"), QJsonValue(QJsonArray{"~/one", "~/two"}));
    }

    void scanningTabPicksTheTimeBasis()
    {
        f->store([](AppSettings& s) { s.timeBasis = TimeBasis::Either; });
        SettingsView& view = f->view();
        auto* basis = field<QComboBox>(&view, "timeBasis");
        QCOMPARE(basis->currentText(), QStringLiteral("Either (most permissive)"));
        QCOMPARE(basis->count(), 3);
        basis->setCurrentIndex(1);
        emit basis->activated(1);
        button(&view, "Save")->click();
        QCOMPARE(f->settingsFile().value("timeBasis").toString(), QStringLiteral("creation"));
    }

    void filesTabResetsHiddenFilesInTheCopyOnly()
    {
        f->store([](AppSettings& s) { s.excludeFilePatterns = QStringList{"secret.md"}; });
        SettingsView& view = f->view();
        showTab(view, "Files");
        auto* hidden = field<QLineEdit>(&view, "excludeFiles");
        QCOMPARE(hidden->text(), QStringLiteral("secret.md"));
        button(&view, "Reset to default")->click();
        QCOMPARE(hidden->text(),
                 QStringLiteral("CHANGELOG.md, _manifest*, CLAUDE.md, README.md, _tasks-history.md, _inbox.yaml"));
        QCOMPARE(f->settings->settings().excludeFilePatterns, std::optional<QStringList>(QStringList{"secret.md"}));
        typeInto(field<QLineEdit>(&view, "includeExtensions"), "MD, Txt");
        button(&view, "Save")->click();
        QVERIFY(!f->settingsFile().contains("excludeFilePatterns"));
        QCOMPARE(f->settingsFile().value("includeExtensions"), QJsonValue(QJsonArray{"md", "txt"}));
    }

    void notifyTabShowsThePermissionAndTestsRegardlessOfTheSwitches()
    {
        f->notifications.setAuthorization(NotificationAuthorization::Denied);
        SettingsView& view = f->view();
        auto* permission = field<QLabel>(&view, "notificationPermission");
        QCOMPARE(permission->text(), QStringLiteral("Allowed, or asked the first time"));
        showTab(view, "Notify");
        QCOMPARE(permission->text(), QStringLiteral("Notifications are off for harkwell"));
        QCOMPARE(textColour(permission), FormSection::warningColour());

        f->notifications.setAuthorization(NotificationAuthorization::Authorized);
        for (const char* name : {"notifyVoiceMemoSent", "notifyTranscriptReady", "notifyTranscriptFailed"}) {
            auto* box = field<QCheckBox>(&view, name);
            QVERIFY(box->isChecked());
            box->click();
        }
        button(&view, "Save")->click();
        button(&view, "Send test notification")->click();
        QTRY_COMPARE(f->notifications.posted().size(), 1);
        QCOMPARE(f->notifications.posted().first().title, QStringLiteral("Transcript ready"));
        QCOMPARE(f->settingsFile().value("notifyTranscriptReady"), QJsonValue(false));
        // Seen again when the tab comes back.
        showTab(view, "General");
        showTab(view, "Notify");
        QCOMPARE(permission->text(), QStringLiteral("Allowed, or asked the first time"));
    }

    void recordingTabKeepsSavedChoicesThatAreNotListed()
    {
        f->store([](AppSettings& s) {
            s.recordingSource = RecordingSource::app("com.example.Call", "Call");
            s.recordingMicrophoneUid = QStringLiteral("usb-mic-7");
        });
        f->apps = {AudioApp{"org.example.Player", "Player", {}, true}};
        f->inputs = {AudioInputDevice{"builtin", "Built-in Microphone", true}};
        SettingsView& view = f->view();
        showTab(view, "Recording");
        auto* source = field<QComboBox>(&view, "recordingSource");
        QStringList sources;
        for (int i = 0; i < source->count(); ++i)
            sources << source->itemText(i);
        QCOMPARE(sources, (QStringList{"All audio", "Player", "Call"}));
        QCOMPARE(source->currentText(), QStringLiteral("Call"));
        auto* microphone = field<QComboBox>(&view, "recordingMicrophoneUID");
        QCOMPARE(microphone->itemText(0), QStringLiteral("System default"));
        QCOMPARE(microphone->currentText(), QStringLiteral("usb-mic-7 (not connected)"));

        field<QCheckBox>(&view, "recordingIncludeMicrophone")->click();
        QVERIFY(!microphone->isEnabled());
        QVERIFY(!field<QComboBox>(&view, "recordingEchoCancellation")->isEnabled());
        field<QCheckBox>(&view, "recordingConsentReminder")->click();
        QVERIFY(!field<QLineEdit>(&view, "recordingConsentText")->isEnabled());
        button(&view, "Save")->click();
        const QJsonObject saved = f->settingsFile();
        QCOMPARE(saved.value("recordingSource").toObject().value("app").toObject().value("name").toString(), QStringLiteral("Call"));
        QCOMPARE(saved.value("recordingMicrophoneUID").toString(), QStringLiteral("usb-mic-7"));
        QCOMPARE(saved.value("recordingIncludeMicrophone"), QJsonValue(false));
        QVERIFY(!saved.contains("recordingConsentText"));
    }

    void recordingTabAsksForTheMicrophoneAndHidesRestartWhileRecording()
    {
        f->microphone.setAuthorization(MicrophoneAuthorization::NotDetermined);
        f->microphone.setAnswer(true);
        f->recordingActive = true;
        SettingsView& view = f->view();
        showTab(view, "Recording");
        auto* status = field<QLabel>(&view, "microphoneStatus");
        QCOMPARE(status->text(), QStringLiteral("Not asked yet"));
        QVERIFY(!isShown(button(view.tabs()->currentWidget(), "Restart harkwell")));
        // The fake's answer does not change what it reports: the user's answer is read back.
        f->microphone.setAuthorization(MicrophoneAuthorization::Restricted);
        button(&view, "Allow…")->click();
        QTRY_COMPARE(status->text(), QStringLiteral("Not allowed"));
        QCOMPARE(f->microphone.requests(), 1);
        QCOMPARE(textColour(status), FormSection::warningColour());
        QVERIFY(!isShown(button(&view, "Allow…")));

        f->recordingActive = false;
        QWidget* tab = view.tabs()->currentWidget();
        button(tab, "Re-check")->click();
        QVERIFY(isShown(button(tab, "Restart harkwell")));
        // No pane to open here: no button offers one.
        for (const char* text : {"Open Microphone settings…", "Open System Audio settings…"})
            QVERIFY(!button(tab, text));
    }
};

QTEST_MAIN(SettingsWindowTest)
#include "tst_settings_window.moc"
