// The Captures tab: watched folders and what can be read of them, the switches that depend on
// them, pairing against the fake service, the sync sheet, the retry of pending captures, and
// sending recordings already in Voice Memos.

#include "SettingsFixture.h"

#include "platform/paths/Paths.h"
#include "service/Keychain.h"
#include "service/MirelonAuth.h"
#include "settings/CaptureJobs.h"
#include "settings/FormSection.h"
#include "settings/ImportExistingSheet.h"
#include "settings/ServiceAddress.h"
#include "settings/SettingsWindowController.h"
#include "settings/SyncSheet.h"
#include "settings/WatchedFoldersSection.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDateEdit>
#include <QDir>
#include <QGuiApplication>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <cerrno>

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

QStringList rowIds(QWidget* root)
{
    QStringList ids;
    for (QWidget* row : root->findChildren<QWidget*>(QRegularExpression("^folder:"))) {
        if (row->parentWidget() && !row->isHidden())
            ids << row->objectName().mid(7);
    }
    return ids;
}

QWidget* row(QWidget* root, const QString& id) { return root->findChild<QWidget*>("folder:" + id); }

QString summary(QWidget* root, const QString& id)
{
    QLabel* label = row(root, id) ? row(root, id)->findChild<QLabel*>("summary") : nullptr;
    return label ? label->text() : QString();
}

// Every label text under `root`, for sheets whose lines are drawn afresh for each report.
QStringList texts(QWidget* root)
{
    QStringList found;
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (!label->isHidden() && !label->text().isEmpty())
            found << label->text();
    }
    return found;
}

}  // namespace

class SettingsCapturesTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsFixture> f;

    SettingsView& showCaptures()
    {
        SettingsView& view = f->view();
        view.tabs()->setCurrentIndex(4);
        return view;
    }
    WatchedFoldersSection& folders(SettingsView& view) { return *view.findChild<WatchedFoldersSection*>(); }

private slots:
    void init() { f = std::make_unique<SettingsFixture>(); }
    void cleanup() { f.reset(); }

    void aFreshInstallShowsVoiceMemosOffWithoutRemoveOrDetect()
    {
        SettingsView& view = showCaptures();
        QCOMPARE(rowIds(&view), QStringList{"voice-memos"});
        QVERIFY(!qobject_cast<QCheckBox*>(row(&view, "voice-memos")->findChild<QCheckBox*>())->isChecked());
        QVERIFY(!isShown(button(&view, "Detect Voice Memos folder")));
        QCOMPARE(summary(&view, "voice-memos"), QStringLiteral("Voice Memos folder not found"));
        QLabel* explanation = row(&view, "voice-memos")->findChild<QLabel*>("explanation");
        QVERIFY(explanation->text().startsWith("The Voice Memos folder does not exist on this computer."));
        QCOMPARE(explanation->text(), CaptureAccess::State::missing().explanation());
        QVERIFY(!isShown(button(&view, "Send recordings already in Voice Memos…")));
        // No folder on: upload and keep-running wait, keeping their values.
        QVERIFY(!field<QCheckBox>(&view, "captureMirelon")->isEnabled());
        QVERIFY(!field<QCheckBox>(&view, "keepVoiceMemosRunning")->isEnabled());
        const QList<QAbstractButton*> rowButtons = row(&view, "voice-memos")->findChildren<QAbstractButton*>();
        QVERIFY(std::none_of(rowButtons.begin(), rowButtons.end(),
                             [](QAbstractButton* b) { return b->text() == QStringLiteral("Remove"); }));
    }

    void switchingVoiceMemosOnEnablesTheSwitchesButNotSendingUntilSaved()
    {
        f->placeVoiceMemo("20260301 101010.m4a");
        SettingsView& view = showCaptures();
        QCOMPARE(summary(&view, "voice-memos"), QStringLiteral("Voice Memos: 1 file visible"));
        row(&view, "voice-memos")->findChild<QCheckBox*>()->click();
        QVERIFY(field<QCheckBox>(&view, "captureMirelon")->isEnabled());
        QVERIFY(field<QCheckBox>(&view, "keepVoiceMemosRunning")->isEnabled());
        QVERIFY(!isShown(button(&view, "Send recordings already in Voice Memos…")));
        button(&view, "Save")->click();
        QVERIFY(isShown(button(&view, "Send recordings already in Voice Memos…")));
        QCOMPARE(f->settingsFile().value("captureVoiceMemosEnabled"), QJsonValue(true));
    }

    void addingRemovingAndDetectingFolders()
    {
        f->home.writeFile("Calls/a.MP3", "x");
        f->home.writeFile("Calls/b.mp3", "x");
        f->home.writeFile("Calls/c.m4a", "x");
        SettingsView& view = showCaptures();
        WatchedFoldersSection& section = folders(view);

        button(&view, "Add folder…")->click();  // nothing queued: the user cancels
        QCOMPARE(f->chooser.panels().size(), 1);
        QCOMPARE(f->chooser.panels()[0].prompt, QStringLiteral("Watch this folder"));
        QCOMPARE(f->chooser.panels()[0].message,
                 QStringLiteral("Choose a folder for harkwell to monitor for new audio files."));
        QCOMPARE(rowIds(&view), QStringList{"voice-memos"});

        f->chooser.answer(f->home.path() + "/Calls");
        f->chooser.answer(f->home.path() + "/Calls");
        button(&view, "Add folder…")->click();
        button(&view, "Add folder…")->click();  // the same folder again: one row
        const QString id = WatchedFolder::generic(f->home.path() + "/Calls").id;
        QCOMPARE(rowIds(&view), (QStringList{"voice-memos", id}));
        QCOMPARE(summary(&view, id), QStringLiteral("Calls: 1 file visible"));

        // Stored extensions in capitals are probed in lower case; a "~" path at the expanded path.
        f->store([&](AppSettings& s) {
            WatchedFolder calls = WatchedFolder::generic(QStringLiteral("~/Calls"));
            calls.extensions = {QStringLiteral("MP3")};
            s.watchedFoldersRaw = QList<WatchedFolder>{calls};
        });
        SettingsView other(f->services());
        other.show();
        other.tabs()->setCurrentIndex(4);
        const QString tildeId = WatchedFolder::generic(QStringLiteral("~/Calls")).id;
        QCOMPARE(summary(&other, tildeId), QStringLiteral("Calls: 2 files visible"));
        QVERIFY(texts(row(&other, tildeId)).contains(QStringLiteral("~/Calls")));

        button(row(&view, id), "Remove")->click();
        QCOMPARE(rowIds(&view), QStringList{"voice-memos"});
        QVERIFY(!section.folderStates().contains(id));

        // Without the Voice Memos folder: remove the last row, then detect it back.
        QVERIFY(isShown(button(&other, "Detect Voice Memos folder")));
        button(row(&other, tildeId), "Remove")->click();
        QVERIFY(rowIds(&other).isEmpty());
        QVERIFY(texts(&other).contains(QStringLiteral("No folders are being monitored.")));
        button(&other, "Detect Voice Memos folder")->click();
        QCOMPARE(rowIds(&other), QStringList{"voice-memos"});
        QVERIFY(row(&other, "voice-memos")->findChild<QCheckBox*>()->isChecked());
        QCOMPARE(summary(&other, "voice-memos"), QStringLiteral("Voice Memos folder not found"));
        QVERIFY(!isShown(button(&other, "Detect Voice Memos folder")));
    }

    void aBlockedFolderOffersItsRemediesEvenWhenOff()
    {
        f->placeVoiceMemo("20260301 101010.m4a");
        f->files.denyListing(Paths::voiceMemosFolder(), EACCES);
        SettingsView& view = showCaptures();
        QCOMPARE(summary(&view, "voice-memos"), QStringLiteral("Full Disk Access needed"));
        QLabel* summaryLabel = row(&view, "voice-memos")->findChild<QLabel*>("summary");
        QCOMPARE(summaryLabel->palette().color(QPalette::WindowText), FormSection::warningColour());
        QVERIFY(row(&view, "voice-memos")->findChild<QLabel*>("explanation")->text().startsWith(
            "macOS is blocking harkwell from reading the Voice Memos folder."));
        button(row(&view, "voice-memos"), "Open Full Disk Access settings…")->click();
        QVERIFY(f->logText().contains("Full Disk Access settings requested"));
        button(row(&view, "voice-memos"), "Restart harkwell")->click();
        QCOMPARE(f->appCalls, QStringList{"relaunch:" + QString::fromLatin1(WatchedFoldersSection::kFullDiskAccessRestartReason)});
    }

    void pairingFromTheTab()
    {
        SettingsView& view = showCaptures();
        typeInto(field<QLineEdit>(&view, "mirelonBaseURL"), f->service.baseUrl().toString());
        f->service.setPairingPendingPolls(1000);
        button(&view, "Connect to Mirelon…")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.findChild<QLabel*>("userCode"), 5000);
        const QString code = view.findChild<QLabel*>("userCode")->text();
        QVERIFY(!code.isEmpty());
        button(&view, "Copy")->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), code);
        button(&view, "Cancel")->click();
        QTRY_VERIFY(button(&view, "Connect to Mirelon…"));
        QVERIFY(!view.mirelonAuth().hasPollTask());

        f->service.setPairingPendingPolls(1);
        button(&view, "Connect to Mirelon…")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.findChild<QLabel*>("tokenPrefix"), 5000);
        QCOMPARE(view.findChild<QLabel*>("tokenPrefix")->text(), QStringLiteral("hwdt_0123456…"));
        QCOMPARE(view.findChild<QLabel*>("scopes")->text(), QStringLiteral("kb:read, kb:write"));
        QVERIFY(Keychain::hasDeviceToken());
        QCOMPARE(f->resumes, 1);
        QCOMPARE(f->service.pairingsStarted(), 2);
        // Nothing of pairing waits for Save.
        QVERIFY(!QFile::exists(Paths::settingsFile()));

        button(&view, "Disconnect")->click();
        QTRY_VERIFY(button(&view, "Connect to Mirelon…"));
        QVERIFY(!Keychain::hasDeviceToken());
    }

    void aFailedPairingShowsItsMessageAndTryAgain()
    {
        SettingsView& view = showCaptures();
        typeInto(field<QLineEdit>(&view, "mirelonBaseURL"), " " + f->service.baseUrl().toString() + " ");
        f->service.setPairingOutcome("denied");
        button(&view, "Connect to Mirelon…")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.findChild<QLabel*>("pairingMessage"), 5000);
        QCOMPARE(view.findChild<QLabel*>("pairingMessage")->text(), QStringLiteral("Pairing was denied in the browser."));
        QVERIFY(button(&view, "Try again"));
    }

    void aStoredTokenShowsConnectedWithoutScopes()
    {
        f->pair(true);
        SettingsView& view = showCaptures();
        QCOMPARE(view.findChild<QLabel*>("tokenPrefix")->text(), QStringLiteral("hwdt_0123456…"));
        QVERIFY(!view.findChild<QLabel*>("scopes"));
    }

    void theBaseUrlFallsBack_data()
    {
        QTest::addColumn<QString>("edited");
        QTest::addColumn<QString>("saved");  // empty: none
        QTest::addColumn<QString>("pairing");
        QTest::addColumn<QString>("sync");
        const QString standard = ServiceAddress::defaultBaseUrl().toString();
        QTest::newRow("blank") << " \t" << "" << standard << standard;
        QTest::newRow("blank, one saved") << "" << "https://saved.example/api/v1" << standard
                                          << "https://saved.example/api/v1";
        QTest::newRow("not a URL") << "not a url" << "https://saved.example/api/v1" << standard
                                   << "https://saved.example/api/v1";
        QTest::newRow("trimmed") << "  https://edit.example/api/v1 " << "" << "https://edit.example/api/v1"
                                 << "https://edit.example/api/v1";
        QTest::newRow("saved text is no URL") << "" << "::" << standard << standard;
    }
    void theBaseUrlFallsBack()
    {
        QFETCH(QString, edited);
        QFETCH(QString, saved);
        QFETCH(QString, pairing);
        QFETCH(QString, sync);
        QCOMPARE(ServiceAddress::resolvedBaseUrl(edited).toString(), pairing);
        QCOMPARE(CaptureJobs::syncBaseUrl(edited, saved.isEmpty() ? std::nullopt : std::optional(saved)).toString(), sync);
    }

    void syncNeedsUploadPairingAndAVault_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("paired");
        QTest::addColumn<QString>("vaultText");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("all there") << true << true << "~/Vault" << true;
        QTest::newRow("upload off in the copy") << false << true << "~/Vault" << false;
        QTest::newRow("not paired") << true << false << "~/Vault" << false;
        QTest::newRow("vault of spaces") << true << true << "   " << false;
    }
    void syncNeedsUploadPairingAndAVault()
    {
        QFETCH(bool, upload);
        QFETCH(bool, paired);
        QFETCH(QString, vaultText);
        QFETCH(bool, enabled);
        f->pair(paired);
        // The saved setting says the opposite of the copy: the copy decides.
        f->store([&](AppSettings& s) {
            s.captureMirelonEnabled = !upload;
            s.captureVoiceMemosEnabled = true;
        });
        f->placePendingCapture("260304-080001");
        SettingsView& view = f->view();
        field<QLineEdit>(&view, "vaultPath")->setText(vaultText);
        emit field<QLineEdit>(&view, "vaultPath")->textEdited(vaultText);
        view.tabs()->setCurrentIndex(4);
        if (field<QCheckBox>(&view, "captureMirelon")->isChecked() != upload)
            field<QCheckBox>(&view, "captureMirelon")->click();
        QCOMPARE(button(&view, "Sync from Mirelon…")->isEnabled(), enabled);
        QAbstractButton* retry = field<QAbstractButton>(&view, "retry");
        QCOMPARE(retry->text(), QStringLiteral("Upload pending captures (1)…"));
        QCOMPARE(retry->isEnabled(), enabled);
    }

    void aSyncIsFollowedInItsSheetUntilClosed()
    {
        f->pair(true);
        f->store([](AppSettings& s) {
            s.captureMirelonEnabled = true;
            s.mirelonBaseUrl = QStringLiteral("https://saved.example/api/v1");
        });
        for (const char* key : {"k1", "k2"}) {
            FakeSource source;
            source.cacheKey = QString::fromLatin1(key);
            source.title = QStringLiteral("Title ") + key;
            f->service.addSource(source);
        }
        f->service.script("GET", "sources/k2", {FakeReply{500, "broken"}}, true);
        SettingsView& view = showCaptures();
        // The edited address is used before it is saved.
        typeInto(field<QLineEdit>(&view, "mirelonBaseURL"), f->service.baseUrl().toString());
        button(&view, "Sync from Mirelon…")->click();

        QVERIFY(view.syncSheet());
        QCOMPARE(view.syncSheet()->windowModality(), Qt::WindowModal);
        QVERIFY(!button(&view, "Sync from Mirelon…")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(view.syncSheet()->hasEnded(), 10000);
        const QStringList lines = texts(view.syncSheet());
        QVERIFY2(lines.contains("Done.") && lines.contains("Synced: 1") && lines.contains("Already in vault (skipped): 0") &&
                     lines.contains("Failed: 1"),
                 qPrintable(lines.join(" | ")));
        QVERIFY(!button(&view, "Sync from Mirelon…")->isEnabled());  // until the sheet is closed
        button(view.syncSheet(), "Close")->click();
        QTRY_VERIFY(!view.syncSheet());
        QVERIFY(button(&view, "Sync from Mirelon…")->isEnabled());
        QVERIFY(!view.captureJobs().syncProgress());
    }

    void aFailedListingShowsWhyAndCancelStillCloses()
    {
        f->pair(true);
        f->store([](AppSettings& s) { s.captureMirelonEnabled = true; });
        f->service.script("GET", "sources", {FakeReply{503, "down"}});
        SettingsView& view = showCaptures();
        typeInto(field<QLineEdit>(&view, "mirelonBaseURL"), f->service.baseUrl().toString());
        button(&view, "Sync from Mirelon…")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.syncSheet()->hasEnded(), 10000);
        QVERIFY(texts(view.syncSheet()).contains("Sync failed"));
        button(view.syncSheet(), "Close")->click();
        QTRY_VERIFY(!view.syncSheet());

        // Cancel before the listing has answered: the run ends with its counts at the next item.
        FakeSource source;
        source.cacheKey = QStringLiteral("k1");
        f->service.addSource(source);
        button(&view, "Sync from Mirelon…")->click();
        QVERIFY(button(view.syncSheet(), "Cancel"));
        button(view.syncSheet(), "Cancel")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.syncSheet()->hasEnded(), 10000);
        QVERIFY2(texts(view.syncSheet()).contains("Synced: 0"), qPrintable(texts(view.syncSheet()).join(" | ")));
        QVERIFY(button(view.syncSheet(), "Close"));
    }

    void returnSavesInEveryPairingState()
    {
        SettingsWindowController controller(f->services());
        controller.show();
        SettingsView& view = *controller.view();
        view.tabs()->setCurrentIndex(4);
        QLineEdit* address = field<QLineEdit>(&view, "mirelonBaseURL");
        typeInto(address, f->service.baseUrl().toString());
        int saves = 0;
        const auto returnSaves = [&](const char* state) {
            const int pairings = f->service.pairingsStarted();
            address->setFocus();
            QTest::keyClick(address, Qt::Key_Return);
            ++saves;
            QVERIFY2(view.saveButton()->isDefault(), state);
            QVERIFY2(f->appCalls.count("capture") == saves, state);
            QVERIFY2(f->service.pairingsStarted() == pairings, state);
        };
        returnSaves("not connected");

        f->service.setPairingPendingPolls(1000);
        button(&view, "Connect to Mirelon…")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.findChild<QLabel*>("userCode"), 5000);
        returnSaves("pairing");
        button(&view, "Cancel")->click();
        QTRY_VERIFY(button(&view, "Connect to Mirelon…"));
        returnSaves("after Cancel");

        f->service.setPairingPendingPolls(1);
        f->service.setPairingOutcome("denied");
        button(&view, "Connect to Mirelon…")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.findChild<QLabel*>("pairingMessage"), 10000);
        returnSaves("failed");

        f->service.setPairingOutcome("approved");
        button(&view, "Try again")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.findChild<QLabel*>("tokenPrefix"), 10000);
        returnSaves("connected");
        button(&view, "Disconnect")->click();
        QTRY_VERIFY(button(&view, "Connect to Mirelon…"));
        returnSaves("after Disconnect");
    }

    void syncAndRetryFollowThePairingAtOnce()
    {
        f->pair(true);
        f->store([](AppSettings& s) {
            s.captureMirelonEnabled = true;
            s.captureVoiceMemosEnabled = true;
        });
        f->placePendingCapture("260304-080001");
        SettingsView& view = showCaptures();
        typeInto(field<QLineEdit>(&view, "mirelonBaseURL"), f->service.baseUrl().toString());
        QAbstractButton* sync = button(&view, "Sync from Mirelon…");
        QAbstractButton* retry = field<QAbstractButton>(&view, "retry");
        QVERIFY(sync->isEnabled() && retry->isEnabled());

        button(&view, "Disconnect")->click();
        QTRY_VERIFY(button(&view, "Connect to Mirelon…"));
        QVERIFY(!sync->isEnabled());
        QVERIFY(!retry->isEnabled());
        // Not even a retry asked for directly runs without a token: its uploads could only fail.
        retry->click();
        view.captureJobs().startRetry(view.editingCopy());
        QVERIFY(!view.captureJobs().isRetrying());
        QCOMPARE(f->service.requests("POST", "sources").size(), 0);

        f->service.setPairingPendingPolls(1);
        button(&view, "Connect to Mirelon…")->click();
        QTRY_VERIFY_WITH_TIMEOUT(view.findChild<QLabel*>("tokenPrefix"), 5000);
        QVERIFY(sync->isEnabled());
        QVERIFY(retry->isEnabled());
    }

    void aRetryReportsEachUploadAndCountsAgainAtTheEnd()
    {
        f->pair(true);
        f->store([](AppSettings& s) {
            s.captureMirelonEnabled = true;
            s.captureVoiceMemosEnabled = true;
        });
        for (const char* id : {"260304-080001", "260304-080002", "260304-080003"})
            f->placePendingCapture(QString::fromLatin1(id));
        SettingsView& view = showCaptures();
        QAbstractButton* retry = field<QAbstractButton>(&view, "retry");
        QCOMPARE(retry->text(), QStringLiteral("Upload pending captures (3)…"));
        QStringList lines;
        QLabel* line = field<QLabel>(&view, "retryProgress");
        connect(&view.captureJobs(), &CaptureJobs::changed, this, [&] {
            if (lines.isEmpty() || lines.last() != line->text())
                lines << line->text();
        });
        retry->click();
        QVERIFY(!retry->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!view.captureJobs().isRetrying(), 15000);
        QCOMPARE(lines.first(), QStringLiteral(""));  // the start: the line keeps its last report
        QCOMPARE(lines.mid(1), (QStringList{"Scanning _inbox…", "Uploading 1 of 3 — 260304-080001",
                                            "Uploading 2 of 3 — 260304-080002", "Uploading 3 of 3 — 260304-080003",
                                            "Done. 3 uploaded, 0 skipped, 0 failed."}));
        QCOMPARE(retry->text(), QStringLiteral("Upload pending captures…"));
        QVERIFY(!retry->isEnabled());
        QCOMPARE(f->service.requests("POST", "sources").size(), 3);
    }

    void aRetryWithNothingPendingEndsWithZeros()
    {
        QCOMPARE(CaptureJobs::retryLine(CaptureRetry::Progress::finished(0, 0, 0)),
                 QStringLiteral("Done. 0 uploaded, 0 skipped, 0 failed."));
        QCOMPARE(CaptureJobs::retryLine(std::nullopt), QString());
        QCOMPARE(CaptureJobs::retryButtonTitle(0), QStringLiteral("Upload pending captures…"));
    }

    void sendingExistingRecordings()
    {
        f->store([](AppSettings& s) { s.captureVoiceMemosEnabled = true; });
        f->placeVoiceMemo("20260101 090000.m4a");  // before one month back
        f->placeVoiceMemo("20260220 101010.m4a");
        f->ledger->markSeen("20260220 101010.m4a", "260220-101010", "voice-memos", f->clock.now());
        SettingsView& view = showCaptures();
        button(&view, "Send recordings already in Voice Memos…")->click();
        ImportExistingSheet* sheet = view.importSheet();
        QVERIFY(sheet && sheet->windowModality() == Qt::WindowModal);
        QCOMPARE(sheet->findChild<QDateEdit*>("from")->date(), QDate(2026, 2, 4));
        QCOMPARE(sheet->findChild<QLabel*>("count")->text(), QStringLiteral("1 recording will be sent, one at a time."));
        button(sheet, "Only recordings from")->click();
        QVERIFY(!sheet->findChild<QDateEdit*>("from")->isEnabled());
        QCOMPARE(sheet->findChild<QLabel*>("count")->text(), QStringLiteral("2 recordings will be sent, one at a time."));
        button(sheet, "Send")->click();
        const QString message = QStringLiteral("Queued 2 recordings. They are uploaded one at a time over the next "
                                               "minutes; anything Mirelon already has is not transcribed again.");
        QCOMPARE(view.importMessage(), message);
        QCOMPARE(field<QLabel>(&view, "importMessage")->text(), message);
        QVERIFY(!f->ledger->hasSeen("20260220 101010.m4a", "voice-memos"));

        // A later day with nothing: Send waits; Cancel keeps the message.
        button(&view, "Send recordings already in Voice Memos…")->click();
        QTRY_VERIFY(view.importSheet() && view.importSheet() != sheet);
        sheet = view.importSheet();
        sheet->findChild<QDateEdit*>("from")->setDate(QDate(2026, 3, 1));
        QCOMPARE(sheet->findChild<QLabel*>("count")->text(), QStringLiteral("0 recordings will be sent, one at a time."));
        QVERIFY(!button(sheet, "Send")->isEnabled());
        button(sheet, "Cancel")->click();
        QCOMPARE(view.importMessage(), message);

        // The folder became unreadable between counting and sending.
        f->files.denyListing(Paths::voiceMemosFolder(), EACCES);
        view.sendExisting(std::nullopt);
        QVERIFY2(view.importMessage().startsWith("Cannot read the Voice Memos folder: "), qPrintable(view.importMessage()));
    }
};

QTEST_MAIN(SettingsCapturesTest)
#include "tst_settings_captures.moc"
