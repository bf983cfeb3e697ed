// The welcome window and the create-vault sheet, driven offscreen: listing, committing a vault,
// the footer button, the sheet's checks, and the controller's window life.

#include "platform/dialogs/FakeFolderChooser.h"
#include "foundation/Settings.h"
#include "onboarding/ActionCard.h"
#include "onboarding/CreateVaultSheet.h"
#include "onboarding/VaultRow.h"
#include "onboarding/WelcomeWindowController.h"
#include "platform/paths/Paths.h"
#include "onboarding/VaultDetection.h"
#include "support/TempHome.h"
#include "support/WidgetShot.h"

#include <QCheckBox>
#include <QDir>
#include <QScopeGuard>
#include <QThreadPool>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

Q_DECLARE_METATYPE(harkwell::test::Shade)

using namespace harkwell;

namespace {

using Source = VaultCandidate::Source;

VaultCandidate candidate(const QString& path, Source source, bool markers = false, bool outbox = false,
                         std::optional<QDateTime> opened = std::nullopt)
{
    VaultCandidate c;
    c.id = Paths::expandTilde(path);
    c.path = path;
    c.name = QFileInfo(c.id).fileName();
    c.source = source;
    c.hasNookwiseMarkers = markers;
    c.hasOutbox = outbox;
    c.lastOpened = opened;
    return c;
}

QJsonObject savedSettings()
{
    QFile file(Paths::settingsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

}  // namespace

class WelcomeWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempHome> m_home;
    std::unique_ptr<WelcomeWindowController> m_controller;
    FakeFolderChooser m_chooser;
    QList<VaultCandidate> m_found;
    std::atomic<int> m_detections{0};
    int m_completions = 0;

    // The view once its detection has landed; nothing when it never does.
    WelcomeView* showAndLoad()
    {
        m_controller->show();
        WelcomeView* view = m_controller->view();
        return QTest::qWaitFor([&] { return !view->isLoading(); }, 5000) ? view : nullptr;
    }
    QString home(const QString& relative) const { return m_home->path() + QLatin1Char('/') + relative; }

private slots:
    void init()
    {
        m_home = std::make_unique<test::TempHome>();
        Settings::shared().restart();
        m_chooser = FakeFolderChooser();
        m_found.clear();
        m_detections = 0;
        m_completions = 0;
        m_controller = std::make_unique<WelcomeWindowController>();
        m_controller->setFolderChooser(&m_chooser);
        m_controller->setDetector([this] {
            ++m_detections;
            return m_found;
        });
        m_controller->setBranding(WelcomeBranding{QColor(Qt::magenta), QUrl("https://harkwell.example/en/mac/"), QIcon()});
        m_controller->onComplete = [this] { ++m_completions; };
    }
    void cleanup()
    {
        m_controller.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_home.reset();
    }

    void opensLoadingThenListsTheCandidates()
    {
        m_found = {candidate("/v/Recent", Source::ObsidianRegistry, true, true, QDateTime(QDate(2026, 2, 3), QTime(12, 0))),
                   candidate("/v/Searched", Source::Filesystem)};
        m_controller->show();
        QVERIFY(m_controller->window()->isVisible());
        QCOMPARE(m_controller->window()->windowTitle(), QStringLiteral("Welcome to harkwell"));
        QCOMPARE(m_controller->view()->loadingText(), QStringLiteral("Looking for vaults on this computer\u2026"));

        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QCOMPARE(view->candidates(), m_found);
        QCOMPARE(view->heading(), QStringLiteral("Pick a vault"));
        QCOMPARE(view->footerButton()->text(), QStringLiteral("Skip for now"));
        QCOMPARE(view->guideLinkText(), QStringLiteral("The full guide on harkwell.example"));
        const QList<VaultRow*> rows = view->rows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0]->badges(), (QStringList{"Obsidian", "nookwise", "_outbox"}));
        QCOMPARE(rows[0]->iconName(), QStringLiteral("shippingbox"));
        QVERIFY(rows[0]->lastOpenedText().startsWith(QStringLiteral("Last opened ")));
        QCOMPARE(rows[1]->badges(), QStringList());
        QCOMPARE(rows[1]->iconName(), QStringLiteral("folder"));
        QCOMPARE(rows[1]->lastOpenedText(), QString());
        QCOMPARE(view->createCard()->text(), QStringLiteral("Create a new vault"));
        QCOMPARE(view->customFolderCard()->text(), QStringLiteral("Use a custom folder"));
    }

    // Tab reaches every card and row, and the one it reaches shows it.
    void theFocusedCardOrRowIsDrawnApart()
    {
        m_found = {candidate("/v/One", Source::Filesystem)};
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        const QList<QAbstractButton*> targets{view->createCard(), view->customFolderCard(), view->rows().value(0)};
        for (QAbstractButton* target : targets) {
            QVERIFY(target);
            QVERIFY(target->focusPolicy() & Qt::TabFocus);
            target->clearFocus();
            const QImage unfocused = target->grab().toImage();
            target->setFocus(Qt::TabFocusReason);
            QTRY_VERIFY(target->hasFocus());
            QVERIFY2(target->grab().toImage() != unfocused, qPrintable(target->text()));
        }
    }

    void nothingFoundShowsTheEmptyText()
    {
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QCOMPARE(view->heading(), QString());
        QCOMPARE(view->emptyText(), QStringLiteral("No Obsidian vaults found on this computer."));
        QVERIFY(view->createCard()->isVisibleTo(view));
        QVERIFY(view->customFolderCard()->isVisibleTo(view));
    }

    void choosingARowCommitsTheVault()
    {
        AppSettings before;
        before.additionalPaths = {QStringLiteral("~/workspace"), QStringLiteral("~/other")};
        Settings::shared().setSettings(before);
        m_home->make(QStringLiteral("Vaults/Tilde"));
        m_found = {candidate("~/Vaults/Tilde", Source::ObsidianRegistry)};
        m_found[0].name = QStringLiteral("Shown Name");

        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QTest::mouseClick(view->rows().first(), Qt::LeftButton);

        const AppSettings after = Settings::shared().settings();
        QCOMPARE(after.vaultPath, home("Vaults/Tilde"));
        QCOMPARE(after.vaultName, QStringLiteral("Shown Name"));
        QCOMPARE(after.additionalPaths, QStringList());
        QCOMPARE(after.remotesPath, std::nullopt);
        QVERIFY(QFileInfo(home("Vaults/Tilde/_outbox")).isDir());
        const QJsonObject saved = savedSettings();
        QCOMPARE(saved.value("vaultPath").toString(), home("Vaults/Tilde"));
        QCOMPARE(saved.value("vaultName").toString(), QStringLiteral("Shown Name"));
        QVERIFY(!saved.contains("remotesPath"));
        QCOMPARE(m_completions, 1);
        QVERIFY(m_controller->window() == nullptr);
    }

    void customFolder_data()
    {
        QTest::addColumn<bool>("confirmed");
        QTest::newRow("chosen") << true;
        QTest::newRow("cancelled") << false;
    }
    void customFolder()
    {
        QFETCH(bool, confirmed);
        const QString folder = m_home->make(QStringLiteral("Work/Desk"));
        m_chooser.answer(confirmed ? std::optional(folder) : std::nullopt);

        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QTest::mouseClick(view->customFolderCard(), Qt::LeftButton);
        QCOMPARE(m_chooser.panels().size(), 1);
        QCOMPARE(m_chooser.panels()[0].prompt, QStringLiteral("Use this folder"));
        QCOMPARE(m_chooser.panels()[0].message, QStringLiteral("Pick the folder harkwell should watch."));
        QCOMPARE(QFileInfo::exists(folder + "/_outbox"), confirmed);
        QCOMPARE(QFileInfo::exists(Paths::settingsFile()), confirmed);
        QCOMPARE(m_completions, confirmed ? 1 : 0);
        if (confirmed) {
            QCOMPARE(Settings::shared().settings().vaultPath, folder);
            QCOMPARE(Settings::shared().settings().vaultName, QStringLiteral("Desk"));
        } else {
            QVERIFY(m_controller->window()->isVisible());
        }
    }

    // The chooser opens beside the vault in use, or at home: not in the process's working folder.
    void customFolderStartsNearTheVault_data()
    {
        QTest::addColumn<QString>("vault");
        QTest::addColumn<QString>("start");
        QTest::newRow("vault in a folder") << "Vaults/Plain" << "Vaults";
        QTest::newRow("vault's parent gone") << "Gone/Plain" << "";
        QTest::newRow("no vault") << "" << "";
    }
    void customFolderStartsNearTheVault()
    {
        QFETCH(QString, vault);
        QFETCH(QString, start);
        if (vault.startsWith("Vaults"))
            m_home->make(vault);
        AppSettings settings;
        settings.vaultPath = vault.isEmpty() ? QString() : QStringLiteral("~/") + vault;
        Settings::shared().setSettings(settings);
        m_chooser.answer(std::nullopt);

        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QTest::mouseClick(view->customFolderCard(), Qt::LeftButton);
        QCOMPARE(m_chooser.panels().size(), 1);
        QCOMPARE(m_chooser.panels()[0].startFolder, start.isEmpty() ? m_home->path() : home(start));
    }

    // A vault in use that no search finds (no ".obsidian" in it) is still named.
    void theVaultInUseIsNamed_data()
    {
        QTest::addColumn<bool>("saved");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("shown");
        QTest::newRow("not found") << true << false << "Using ~/Notes/Plain";
        QTest::newRow("found: its row names it") << true << true << "";
        QTest::newRow("none chosen yet") << false << false << "";
    }
    void theVaultInUseIsNamed()
    {
        QFETCH(bool, saved);
        QFETCH(bool, found);
        QFETCH(QString, shown);
        m_home->make(QStringLiteral("Notes/Plain"));
        AppSettings settings;
        settings.vaultPath = QStringLiteral("~/Notes/Plain");
        Settings::shared().setSettings(settings);
        if (saved)
            QVERIFY(Settings::shared().save());
        if (found)
            m_found = {candidate("~/Notes/Plain", Source::Filesystem)};

        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QStringList named;
        for (const QLabel* label : view->findChildren<QLabel*>())
            if (label->isVisibleTo(view) && label->text().startsWith(QStringLiteral("Using ")))
                named << label->text();
        QCOMPARE(named, shown.isEmpty() ? QStringList() : QStringList{shown});
        QCOMPARE(view->emptyText().isEmpty(), found);
    }

    void footerButtonWritesTheSettings_data()
    {
        QTest::addColumn<bool>("settingsFileExists");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("button");
        QTest::newRow("first launch") << false << "Pick a vault" << "Skip for now";
        QTest::newRow("from the menu") << true << "Your vault, or another one" << "Done";
    }
    void footerButtonWritesTheSettings()
    {
        QFETCH(bool, settingsFileExists);
        QFETCH(QString, heading);
        QFETCH(QString, button);
        if (settingsFileExists)
            QVERIFY(Settings::shared().save().has_value());
        AppSettings inMemory = Settings::shared().settings();
        inMemory.vaultName = QStringLiteral("Held in memory");
        Settings::shared().setSettings(inMemory);
        m_found = {candidate("/v/One", Source::Filesystem)};

        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QCOMPARE(view->heading(), heading);
        QCOMPARE(view->footerButton()->text(), button);
        QTest::mouseClick(view->footerButton(), Qt::LeftButton);
        QCOMPARE(savedSettings().value("vaultName").toString(), QStringLiteral("Held in memory"));
        QCOMPARE(m_completions, 1);
        QVERIFY(m_controller->window() == nullptr);
    }

    void closingKeepsTheWindowAndACompletionStartsAfresh()
    {
        m_found = {candidate("/v/One", Source::Filesystem)};
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QWidget* window = m_controller->window();
        window->close();
        m_controller->show();
        QCOMPARE(m_controller->window(), window);
        QCOMPARE(m_controller->view(), view);
        QCOMPARE(m_completions, 0);
        QVERIFY(!QFileInfo::exists(Paths::settingsFile()));

        QTest::mouseClick(view->footerButton(), Qt::LeftButton);
        QCOMPARE(m_completions, 1);
        m_controller->show();
        QVERIFY(m_controller->view() != view);
        QVERIFY(m_controller->view()->isLoading());
        QCOMPARE(m_controller->view()->loadingText(), QStringLiteral("Looking for vaults on this computer\u2026"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_controller->view()->isLoading(), 5000);
        QVERIFY(m_detections >= 2);
    }

    void aSettingsFileThatCannotBeWrittenKeepsTheWindowOpen_data()
    {
        QTest::addColumn<bool>("choosingARow");
        QTest::newRow("a vault chosen") << true;
        QTest::newRow("the footer button") << false;
    }
    void aSettingsFileThatCannotBeWrittenKeepsTheWindowOpen()
    {
        QFETCH(bool, choosingARow);
        m_home->make(QStringLiteral("Vaults/One"));
        m_found = {candidate("~/Vaults/One", Source::Filesystem)};
        // A folder where the file belongs: the write cannot replace it.
        QVERIFY(QDir().mkpath(Paths::settingsFile()));
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QTest::mouseClick(choosingARow ? static_cast<QWidget*>(view->rows().first()) : view->footerButton(), Qt::LeftButton);

        QCOMPARE(m_completions, 0);
        QVERIFY(m_controller->window() && m_controller->window()->isVisible());
        QVERIFY2(view->saveErrorText().startsWith(QStringLiteral("Not saved: ")), qPrintable(view->saveErrorText()));

        // Once the file can be written, the same choice goes through.
        QVERIFY(QDir(Paths::settingsFile()).removeRecursively());
        QTest::mouseClick(choosingARow ? static_cast<QWidget*>(view->rows().first()) : view->footerButton(), Qt::LeftButton);
        QCOMPARE(m_completions, 1);
        QVERIFY(QFileInfo(Paths::settingsFile()).isFile());
    }

    void detectionRunsOneAtATimeOnAThreadOfItsOwn()
    {
        const auto release = std::make_shared<std::atomic<bool>>(false);
        // Whatever happens below, the held detection ends before the test does.
        const auto letGo = qScopeGuard([&] {
            *release = true;
            (void)QTest::qWaitFor([] { return !VaultDetection::shared().isRunning(); }, 10'000);
        });
        m_found = {candidate("/v/One", Source::Filesystem)};
        m_controller->setDetector([this, release] {
            ++m_detections;
            while (!*release)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return m_found;
        });
        m_controller->show();
        QTRY_COMPARE(m_detections.load(), 1);
        // Showing the window again and again while detection hangs starts nothing more, and keeps
        // the shared pool (where capture copies run) free.
        for (int i = 0; i < 8; ++i) {
            m_controller->window()->close();
            m_controller->show();
        }
        QCOMPARE(m_detections.load(), 1);
        // The held detection would keep a pool thread busy for good; a pool thread that Qt's own
        // image work used a moment ago is counted active until it has stood down.
        QTRY_COMPARE_WITH_TIMEOUT(QThreadPool::globalInstance()->activeThreadCount(), 0, 5000);
        QVERIFY(m_controller->view()->isLoading());

        *release = true;
        QTRY_VERIFY_WITH_TIMEOUT(!m_controller->view()->isLoading(), 5000);
        QCOMPARE(m_controller->view()->candidates(), m_found);
    }

    void lastOpenedIsAnAbbreviatedDate_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("text");
        QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedStates) << "Feb 3, 2026";
        QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "3. Feb. 2026";
    }
    void lastOpenedIsAnAbbreviatedDate()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, text);
        QCOMPARE(VaultRow::abbreviatedDate(QDate(2026, 2, 3), locale), text);
    }

    void picturesOfTheWindow_data()
    {
        QTest::addColumn<test::Shade>("shade");
        QTest::addColumn<int>("scale");
        QTest::newRow("light") << test::Shade::Light << 1;
        QTest::newRow("light, scale 2") << test::Shade::Light << 2;
        QTest::newRow("dark") << test::Shade::Dark << 1;
        QTest::newRow("dark, scale 2") << test::Shade::Dark << 2;
    }
    void picturesOfTheWindow()
    {
        QFETCH(test::Shade, shade);
        QFETCH(int, scale);
        const test::ShadeScope palette(shade);
        m_home->make(QStringLiteral("Vaults/Work/_outbox"));
        m_found = {candidate("~/Vaults/Work", Source::ObsidianRegistry, true, true, QDateTime(QDate(2026, 2, 3), QTime(12, 0))),
                   candidate("/v/Searched", Source::Filesystem)};
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QWidget* window = m_controller->window();
        QVERIFY(window->width() >= WelcomeView::kMinimumWidth && window->height() >= WelcomeView::kMinimumHeight);
        // The size it opens with on a screen that has room for it.
        window->resize(WelcomeView::kWidth, WelcomeView::kHeight);
        QCoreApplication::processEvents();
        const QString path = test::screenshotFolder() + u'/' + test::screenshotName(QStringLiteral("welcome"), shade, scale);
        QVERIFY2(test::writePng(window, path, scale), qPrintable(path));
    }

    void theSheetStartsFromItsInitialValues()
    {
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QTest::mouseClick(view->createCard(), Qt::LeftButton);
        CreateVaultSheet* sheet = view->createSheet();
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->parentDir(), m_home->path() + "/Documents");
        QCOMPARE(sheet->vaultName(), QStringLiteral("MyVault"));
        QVERIFY(sheet->writeClaudeMd());
        QCOMPARE(sheet->error(), QString());

        sheet->nameField()->setText(QStringLiteral("Changed"));
        QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
        QVERIFY(!view->isShowingCreateSheet());
        QVERIFY(!QFileInfo::exists(m_home->path() + "/Documents"));
        QVERIFY(!QFileInfo::exists(Paths::settingsFile()));

        QTest::mouseClick(view->createCard(), Qt::LeftButton);
        QCOMPARE(view->createSheet()->vaultName(), QStringLiteral("MyVault"));
    }

    void theSheetCreatesAndCommitsTheVault()
    {
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QTest::mouseClick(view->createCard(), Qt::LeftButton);
        CreateVaultSheet* sheet = view->createSheet();

        sheet->nameField()->setText(QStringLiteral("   "));
        QVERIFY(!sheet->createButton()->isEnabled());
        sheet->parentField()->setText(QStringLiteral("~/Vaults"));
        sheet->nameField()->setText(QStringLiteral(" \tNotes  "));
        sheet->claudeMdSwitch()->setChecked(false);
        QVERIFY(sheet->createButton()->isEnabled());
        QTest::mouseClick(sheet->createButton(), Qt::LeftButton);

        const QString vault = home("Vaults/Notes");
        QVERIFY(QFileInfo(vault + "/_outbox").isDir());
        QVERIFY(!QFileInfo::exists(vault + "/CLAUDE.md"));
        QCOMPARE(Settings::shared().settings().vaultPath, vault);
        QCOMPARE(Settings::shared().settings().vaultName, QStringLiteral("Notes"));
        QCOMPARE(savedSettings().value("vaultPath").toString(), vault);
        QCOMPARE(m_completions, 1);
    }

    void theSheetShowsAFailureAndStaysOpen()
    {
        m_home->make(QStringLiteral("Documents/MyVault"));
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QTest::mouseClick(view->createCard(), Qt::LeftButton);
        CreateVaultSheet* sheet = view->createSheet();
        QTest::mouseClick(sheet->createButton(), Qt::LeftButton);

        QCOMPARE(sheet->error(), QStringLiteral("A folder named 'MyVault' already exists at %1/Documents").arg(m_home->path()));
        QVERIFY(view->isShowingCreateSheet() && sheet->isVisible());
        QCOMPARE(m_completions, 0);
        QVERIFY(!QFileInfo::exists(Paths::settingsFile()));

        // Corrected input goes through.
        sheet->nameField()->setText(QStringLiteral("Second"));
        QTest::mouseClick(sheet->createButton(), Qt::LeftButton);
        QVERIFY(QFileInfo::exists(home("Documents/Second/CLAUDE.md")));
        QCOMPARE(m_completions, 1);
    }

    void chooseOpensThePanelInTheTypedParent()
    {
        const QString vaults = m_home->make(QStringLiteral("Vaults"));
        const QString picked = m_home->make(QStringLiteral("Picked"));
        m_chooser.answer(picked);
        WelcomeView* view = showAndLoad();
        QVERIFY(view);
        QTest::mouseClick(view->createCard(), Qt::LeftButton);
        CreateVaultSheet* sheet = view->createSheet();
        sheet->parentField()->setText(QStringLiteral("~/Vaults"));
        QTest::mouseClick(sheet->chooseButton(), Qt::LeftButton);
        QCOMPARE(m_chooser.panels().last().startFolder, vaults);
        QCOMPARE(m_chooser.panels().last().prompt, QStringLiteral("Choose"));
        QCOMPARE(sheet->parentDir(), picked);

        QTest::mouseClick(sheet->chooseButton(), Qt::LeftButton);  // cancelled: unchanged
        QCOMPARE(sheet->parentDir(), picked);
    }
};

QTEST_MAIN(WelcomeWindowTest)
#include "tst_welcome_window.moc"
