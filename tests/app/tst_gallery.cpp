// Pictures of every surface a person sees, for looking at before a change lands: the tray icon in
// each state on light and dark panels, the menu with every section filled and its submenus open,
// the recorder panel, the search panel in both modes and the welcome window, each in a light and a
// dark palette at scale 1 and 2. They are written under the build tree's artifacts folder.

#include "../recording/SessionFixture.h"
#include "../vault/SearchFixture.h"
#include "../vault/VaultFixture.h"
#include "app/ContentView.h"
#include "app/MenuBarLabel.h"
#include "app/MenuRenderer.h"
#include "foundation/Opening.h"
#include "onboarding/WelcomeView.h"
#include "onboarding/WelcomeWindowController.h"
#include "platform/filemanager/FakeFileManager.h"
#include "platform/mail/FakeMailComposer.h"
#include "platform/workspace/FakeWorkspace.h"
#include "recording/RecorderWindowController.h"
#include "support/WidgetShot.h"
#include "vault/SearchIndex.h"
#include "vault/SearchWindowController.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QPainter>
#include <QTest>

using namespace harkwell;
using test::Shade;

namespace {

const QDateTime kNow(QDate(2026, 3, 4), QTime(14, 30));

FileEntry entry(const QString& relative, const QDateTime& when, FileEntry::Source source = FileEntry::Source::Vault)
{
    FileEntry file;
    file.id = QUuid::createUuid();
    file.relativePath = relative;
    file.filename = relative.section('/', -1);
    file.parentFolder = relative.section('/', -2, -2);
    file.modificationDate = file.creationDate = when;
    file.fullPath = QUrl::fromLocalFile("/vault/" + relative);
    file.source = source;
    return file;
}

// Every section of the menu with something in it.
MenuRows fullMenu()
{
    ContentView::Inputs inputs;
    inputs.recording.state = {RecordingState::Kind::Recording, {}};
    inputs.recording.source = RecordingSource::allAudio();
    inputs.recording.elapsed = 754;
    inputs.recording.warnings = {
        {RecordingWarning::Kind::MicrophoneSilent,
         "No sound is reaching harkwell from the microphone (USB Microphone). Check that it is not muted, or pick "
         "another microphone in Settings > Recording."}};
    inputs.recording.lastResult = QStringLiteral("Sent 260303-101500 (12 min) to Mirelon");
    RecordingSidecar unfinished;
    unfinished.id = QStringLiteral("260302-091000");
    inputs.recording.pendingRecovery = {unfinished};

    VaultMenu::Lists& lists = inputs.vault.lists;
    for (int i = 0; i < 5; ++i)
        lists.today << entry(QString("Projects/plan-%1.md").arg(i), kNow.addSecs(-600 * i));
    lists.today << entry("Journal/a-rather-long-note-name-that-goes-on-and-on-about-the-quarterly-planning-meeting.md",
                         kNow.addSecs(-4000));
    for (int day = 1; day <= 4; ++day)
        for (int i = 0; i < 3; ++i)
            lists.recent << entry(QString("Notes/day%1-%2.md").arg(day).arg(i), kNow.addDays(-day));
    lists.outbox << entry("_outbox/260303-report/report.pdf", kNow.addDays(-1), FileEntry::Source::Outbox);
    lists.inbox << entry("_inbox/260304-091500.md", kNow.addSecs(-3600), FileEntry::Source::Inbox);
    lists.handoff << entry("_handoff/brief.md", kNow.addDays(-2), FileEntry::Source::Handoff);
    inputs.vault.now = kNow;
    inputs.vault.settings.recentDays = 7;

    inputs.captures.watching = true;
    inputs.captures.snapshot = {1, 1, 3, 1, 6, QStringLiteral("Team sync"), QStringLiteral("260304-091500")};
    inputs.captures.lastPoll = kNow.addSecs(-40);
    inputs.captures.lastNewCapture = kNow.addSecs(-3600);
    inputs.captures.uploadEnabled = true;
    inputs.captures.isPaired = [] { return false; };
    inputs.captures.now = kNow;
    return ContentView::build(inputs, {});
}

QMenu* submenu(const QMenu* menu, const QString& prefix)
{
    for (const QAction* action : menu->actions())
        if (action->menu() && action->text().startsWith(prefix))
            return action->menu();
    return nullptr;
}

// The menu and the submenus along one path, opened side by side as a person would see them.
QImage openedMenus(QMenu& root, const QStringList& path, int scale)
{
    root.popup(QPoint(10, 10));
    QList<QMenu*> menus{&root};
    for (const QString& step : path) {
        QMenu* next = submenu(menus.last(), step);
        if (!next)
            break;
        next->popup(QPoint(10, 10));
        menus << next;
    }
    int width = 0;
    int height = 0;
    for (QMenu* menu : menus) {
        menu->adjustSize();
        width += menu->width() + 4;
        height = std::max(height, menu->height());
    }
    QImage image(QSize(width, height) * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    int x = 0;
    for (QMenu* menu : menus) {
        menu->render(&painter, QPoint(x, 0));
        x += menu->width() + 4;
    }
    painter.end();
    for (qsizetype i = menus.size() - 1; i >= 0; --i)
        menus[i]->close();
    return image;
}

bool save(const QImage& image, const QString& name, Shade shade, int scale)
{
    return image.save(test::screenshotFolder() + "/" + test::screenshotName(name, shade, scale), "PNG");
}

bool shoot(QWidget* widget, const QString& name, Shade shade, int scale)
{
    // Layouts settle on the loop's next turn.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return test::writePng(widget, test::screenshotFolder() + "/" + test::screenshotName(name, shade, scale), scale);
}

}  // namespace

class GalleryTest : public QObject {
    Q_OBJECT
private slots:
    void gallery_data()
    {
        QTest::addColumn<Shade>("shade");
        QTest::addColumn<int>("scale");
        for (const Shade shade : {Shade::Light, Shade::Dark})
            for (const int scale : {1, 2})
                QTest::addRow("%s@%dx", shade == Shade::Light ? "light" : "dark", scale) << shade << scale;
    }

    void gallery()
    {
        QFETCH(Shade, shade);
        QFETCH(int, scale);
        const test::ShadeScope palette(shade);

        // The tray icon on the panel colours desktops use.
        const QColor panel = shade == Shade::Light ? QColor(0xf2f2f2) : QColor(0x242424);
        const QList<std::pair<QString, MenuBarLabel::Content>> states{
            {"tray-zero", MenuBarLabel::content(false, 0, 0)},
            {"tray-count", MenuBarLabel::content(false, 0, 7)},
            {"tray-two-digits", MenuBarLabel::content(false, 0, 42)},
            {"tray-many", MenuBarLabel::content(false, 0, 348)},
            {"tray-recording", MenuBarLabel::content(true, 754, 7)}};
        QImage strip(QSize(states.size() * 30, 30) * scale, QImage::Format_ARGB32_Premultiplied);
        strip.setDevicePixelRatio(scale);
        strip.fill(panel);
        {
            QPainter painter(&strip);
            for (qsizetype i = 0; i < states.size(); ++i)
                painter.drawPixmap(QPoint(int(i) * 30 + 4, 4), MenuBarLabel::render(states[i].second, 22, scale));
        }
        QVERIFY(save(strip, "tray-icons", shade, scale));

        // The menu, with the Vault, Today, Recent and a day open.
        QMenu root;
        MenuRenderer renderer(&root);
        renderer.render(fullMenu());
        QVERIFY(save(openedMenus(root, {}, scale), "menu", shade, scale));
        QVERIFY(save(openedMenus(root, {"Vault", "Today"}, scale), "menu-vault-today", shade, scale));
        QVERIFY(save(openedMenus(root, {"Vault", "Recent", "Yesterday"}, scale), "menu-vault-recent", shade, scale));
        QVERIFY(save(openedMenus(root, {"Vault", "Outbox", "report.pdf"}, scale), "menu-vault-outbox", shade, scale));

        recorder(shade, scale);
        search(shade, scale);
        welcome(shade, scale);
    }

private:
    void recorder(Shade shade, int scale)
    {
        test::SessionFixture f;
        RecorderWindowController controller(*f.session, f.settings);
        std::unique_ptr<QWidget> panel(controller.makePanel());
        panel->show();
        QVERIFY(shoot(panel.get(), "recorder-idle", shade, scale));

        f.hal.removeDevice("mic");
        f.hal.addDevice({"mic2", "USB Microphone", {1}, {}, 48000, AudioTransport::kUsb});
        f.hal.setDefaultInput("mic2");
        f.start();
        f.play(2.0);
        QVERIFY(shoot(panel.get(), "recorder-recording", shade, scale));
        f.play(7.0);  // the silent microphone's warning
        QVERIFY(shoot(panel.get(), "recorder-warning", shade, scale));
        f.session->discard();
    }

    void search(Shade shade, int scale)
    {
        test::SearchHome home;
        FakeWorkspace workspace;
        FakeFileManager fileManager;
        FakeMailComposer mail;
        Opening::setWorkspace(&workspace);
        const QString v = home.vault();
        QList<FileEntry> files;
        const QStringList names{"Projects/plan.md", "Projects/budget.xlsx", "Meetings/2026-03-03 Team sync.md",
                                "Meetings/2026-03-02 Review.md", "Notes/ideas.md"};
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QDateTime when = home.clock.now().addDays(-i);
            test::VaultTree::file(v, names[i], when);
            FileEntry file = entry(names[i], when);
            file.fullPath = QUrl::fromLocalFile(v + "/" + names[i]);
            files << file;
        }
        home.listers->set(files);
        std::unique_ptr<FileScanner> scanner = home.scanner();
        SearchFileActions::Services services;
        services.fileManager = &fileManager;
        services.mail = &mail;
        services.python3 = [] { return std::optional<QString>(); };
        SearchWindowController controller(home.settings, [] { return QList<FileEntry>{}; }, services);
        controller.setScanner(scanner.get());
        controller.show();
        QWidget* window = controller.panel();
        QVERIFY(shoot(window, "search", shade, scale));
        controller.searchIndex()->setSelectedIndex(0);
        controller.searchIndex()->drillIntoFolder();
        QTRY_VERIFY(!controller.searchIndex()->folderFiles().isEmpty());
        QVERIFY(shoot(window, "search-folder", shade, scale));
        controller.orderOut();
        Opening::setWorkspace(nullptr);
    }

    void welcome(Shade shade, int scale)
    {
        test::TempHome home;
        WelcomeWindowController controller;
        controller.show();
        QTRY_VERIFY(controller.window() && controller.window()->isVisible());
        QTest::qWait(50);
        QVERIFY(shoot(controller.window(), "welcome", shade, scale));
        controller.window()->close();
    }
};

QTEST_MAIN(GalleryTest)
#include "tst_gallery.moc"
