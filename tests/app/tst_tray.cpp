// The application on a real (virtual) display: start-up shows the tray icon with its label, runs the
// launch sequence and installs click handling; the menu opens rendered from its rows. The menu and
// the icons are saved as images next to the test for a person to look at.

#include "RecordingServices.h"
#include "app/Brand.h"
#include "app/HarkwellApp.h"
#include "app/MenuBarLabel.h"
#include "app/MenuWindow.h"
#include "foundation/Opening.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/schemes/SchemeHandlers.h"
#include "platform/workspace/FakeWorkspace.h"
#include "support/TempHome.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QWidgetAction>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>

using namespace harkwell;

namespace {

QString artifact(const QString& name)
{
    QDir().mkpath(QStringLiteral(HARKWELL_TEST_ARTIFACTS));
    return QStringLiteral(HARKWELL_TEST_ARTIFACTS "/") + name;
}

QStringList actionTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        if (auto* widget = qobject_cast<const QWidgetAction*>(action))
            texts << qobject_cast<QLabel*>(widget->defaultWidget())->text();
        else
            texts << (action->isSeparator() && action->text().isEmpty() ? QStringLiteral("---") : action->text());
    }
    return texts;
}

}  // namespace

class TrayTest : public QObject {
    Q_OBJECT
private slots:
    void iconsRender()
    {
        for (const auto& [name, content] : {std::pair{"label-count.png", MenuBarLabel::content(false, 0, 12)},
                                            std::pair{"label-recording.png", MenuBarLabel::content(true, 3725, 12)}}) {
            const QPixmap pixmap = MenuBarLabel::render(content, 22, 2.0);
            QVERIFY(!pixmap.isNull());
            QVERIFY(pixmap.save(artifact(name)));
        }
        const QImage glyph = Brand::menuBarGlyph(Qt::black, 4.0).toImage();
        QVERIFY(glyph.pixelColor(glyph.width() / 2, glyph.height() - 6).alpha() > 0);  // the base is filled
        QVERIFY(glyph.pixelColor(1, 1).alpha() == 0);
        QVERIFY(glyph.save(artifact("glyph.png")));
    }

    void startsAndShowsMenu()
    {
        test::TempHome home;
        FakeWorkspace workspace;
        Opening::setWorkspace(&workspace);
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        test::RecordingServices services;
        services.watching = true;

        HarkwellApp app(services, notifications, schemes);
        app.start();
        QCOMPARE(services.calls.mid(0, 4), (QStringList{"updater.start", "migration", "scanner.make", "environmentCheck"}));
        QVERIFY(services.calls.contains("pipeline.start"));

        // Clicks are handled from the start, before the menu was ever opened.
        NotificationRequest request;
        request.payload = {{"filePath", home.make("vault/_inbox")}};
        notifications.click(request);
        QTRY_COMPARE(workspace.opened().size(), 1);
        QCOMPARE(workspace.opened().first(), QUrl::fromLocalFile(home.path() + "/vault/_inbox"));

        QMenu* menu = app.menu();
        menu->popup(QPoint(40, 40));
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(actionTexts(menu), (QStringList{"Record\u2026", "---", "Vault", "Captures", "Capture: starting\u2026",
                                                 "Open capture log", "---", "Search Vault\u2026", "Refresh", "Settings\u2026",
                                                 "Welcome && guide\u2026", "Quit"}));
        QVERIFY(menu->grab().save(artifact("menu.png")));
        menu->close();
        Opening::setWorkspace(nullptr);
    }

    // No panel shows tray icons on this display: the rows come up in a window, and the first start
    // says once how to bring it back.
    void withoutATrayTheMenuOpensInAWindow()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        for (const int start : {1, 2}) {
            test::RecordingServices services;
            services.watching = true;
            HarkwellApp app(services, notifications, schemes);
            app.start();
            QTRY_VERIFY(app.menuWindow() && app.menuWindow()->isVisible());
            QVERIFY(!app.trayIcon());
            QCOMPARE(notifications.posted().size(), 1);  // the first start's word, not repeated
            QCOMPARE(notifications.posted().first().body, QString::fromUtf8(HarkwellApp::kNoTrayNotice));

            MenuWindow* window = app.menuWindow();
            QStringList texts;
            for (const QWidget* row : window->findChildren<QWidget*>()) {
                if (const auto* label = qobject_cast<const QLabel*>(row))
                    texts << label->text();
                else if (const auto* button = qobject_cast<const QPushButton*>(row))
                    texts << button->text();
            }
            for (const char* text : {"Captures", "Capture: starting\u2026", "Vault", "Settings\u2026", "Welcome && guide\u2026", "Quit"})
                QVERIFY2(texts.contains(QString::fromUtf8(text)), qPrintable(QString::fromUtf8(text) + " not in " + texts.join(" | ")));
            QPushButton* settings = nullptr;
            for (QPushButton* button : window->findChildren<QPushButton*>())
                if (button->text() == "Settings\u2026")
                    settings = button;
            QVERIFY(settings);
            settings->click();
            QVERIFY(services.calls.contains("settings.show"));

            app.menuWindow()->close();
            app.showMenuWindow();  // a second launch, or harkwell --menu
            QVERIFY(app.menuWindow()->isVisible());
            if (start == 1)
                QVERIFY(window->grab().save(artifact("menu-window.png")));
        }
    }

    void vaultSubmenuShowsTheScannersLists()
    {
        test::TempHome home;
        test::RecordingServices services;
        const QString vault = home.make("workspace/Ivander");
        const QDateTime now = services.clock.now();
        const auto entry = [&](const QString& relative, FileEntry::Source source) {
            FileEntry file;
            file.id = QUuid::createUuid();
            file.relativePath = relative;
            file.filename = relative.section('/', -1);
            file.parentFolder = relative.section('/', -2, -2);
            file.creationDate = file.modificationDate = now;
            file.fullPath = QUrl::fromLocalFile(vault + "/" + relative);
            file.source = source;
            return file;
        };
        services.listers->setVaultFiles({entry("Projects/plan.md", FileEntry::Source::Vault),
                                         entry("journal.md", FileEntry::Source::Vault)});
        services.listers->setSpecialFiles(FileEntry::Source::Outbox,
                                          {entry("_outbox/260115-report/report.pdf", FileEntry::Source::Outbox)});
        services.listers->setSpecialFiles(FileEntry::Source::Inbox, {entry("_inbox/260304-091500.md", FileEntry::Source::Inbox)});
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        HarkwellApp app(services, notifications, schemes);
        app.start();
        QTRY_COMPARE(app.scanner()->todayCount(), 2);

        QMenu* menu = app.menu();
        menu->popup(QPoint(40, 40));
        QTRY_VERIFY(menu->isVisible());
        QMenu* vaultMenu = menu->actions().at(2)->menu();
        QVERIFY(vaultMenu);
        vaultMenu->popup(QPoint(240, 60));  // filled as it opens
        QTRY_VERIFY(vaultMenu->isVisible());
        QCOMPARE(actionTexts(vaultMenu).join(" | "), (QStringList{"Today (2)", "Outbox (1)", "Inbox (1)", "---", "Search Vault\u2026"}).join(" | "));
        QMenu* outbox = vaultMenu->actions().at(1)->menu();
        outbox->popup(QPoint(440, 60));
        QCOMPARE(actionTexts(outbox), (QStringList{"report.pdf  \u2014  260115-report", "Mail report.pdf"}));
        outbox->close();
        QVERIFY(vaultMenu->grab().save(artifact("vault-menu.png")));
        menu->close();
    }
};

QTEST_MAIN(TrayTest)
#include "tst_tray.moc"
