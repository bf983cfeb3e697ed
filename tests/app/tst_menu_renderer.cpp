// The tray menu on screen and the tray icon: an open menu changes in place and keeps its open
// submenus, a new shape waits until it closes, day submenus make their rows only when they open,
// status rows and section titles are plain text rows, long rows stay narrow, the rows'
// shortcuts work while the menu is open, and the icon is square and reads on light and dark panels.

#include "app/Brand.h"
#include "app/MenuBarLabel.h"
#include "app/MenuRenderer.h"
#include "app/MenuWindow.h"
#include "app/VaultMenu.h"
#include "foundation/Contrast.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWidgetAction>

using namespace harkwell;

namespace {

MenuRows menu(const QString& todayLabel, const QStringList& todayFiles, bool extraRow = false)
{
    MenuRows today;
    for (const QString& name : todayFiles)
        today << MenuRow::button(name, {});
    MenuRows rows{MenuRow::caption(QStringLiteral("Capture: 2 new")),
                  MenuRow::submenu(QStringLiteral("Vault"), {MenuRow::submenu(todayLabel, today),
                                                             MenuRow::button(QStringLiteral("Search Vault\u2026"), {})})};
    if (extraRow)
        rows << MenuRow::button(QStringLiteral("Dismiss"), {});
    rows << MenuRow::button(QStringLiteral("Quit"), {});
    return rows;
}

QStringList texts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        if (auto* widget = qobject_cast<const QWidgetAction*>(action))
            texts << qobject_cast<QLabel*>(widget->defaultWidget())->text();
        else
            texts << (action->isSeparator() ? QStringLiteral("---") : action->text());
    }
    return texts;
}

QMenu* submenu(const QMenu* menu, const QString& text)
{
    for (const QAction* action : menu->actions())
        if (action->menu() && action->text() == text)
            return action->menu();
    return nullptr;
}

void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

FileEntry entry(const QString& name, const QDateTime& modified)
{
    FileEntry file;
    file.filename = name;
    file.relativePath = name;
    file.parentFolder = QStringLiteral("vault");
    file.modificationDate = file.creationDate = modified;
    file.fullPath = QUrl::fromLocalFile(QStringLiteral("/vault/") + name);
    return file;
}

// Share of the icon's pixels that stand out from the panel by at least the ratio, the icon laid over it.
double visibleShare(const QImage& icon, const QColor& panel, double ratio)
{
    int visible = 0;
    for (int y = 0; y < icon.height(); ++y)
        for (int x = 0; x < icon.width(); ++x)
            if (Contrast::ratio(Contrast::over(icon.pixelColor(x, y), panel), panel) >= ratio)
                ++visible;
    return double(visible) / (icon.width() * icon.height());
}

}  // namespace

Q_DECLARE_METATYPE(MenuBarLabel::Content)

class MenuRendererTest : public QObject {
    Q_OBJECT
private slots:
    void openSubmenusStayOpenAcrossRefreshes_data()
    {
        QTest::addColumn<MenuRows>("next");
        QTest::addColumn<QString>("todayLabel");
        QTest::addColumn<QStringList>("todayRowsWhileOpen");
        QTest::addColumn<QStringList>("todayRowsReopened");
        QTest::addColumn<int>("rootRowsReopened");
        QTest::newRow("nothing changed") << menu("Today (1)", {"a.md"}) << "Today (1)" << QStringList{"a.md"}
                                         << QStringList{"a.md"} << 3;
        QTest::newRow("a file renamed") << menu("Today (1)", {"b.md"}) << "Today (1)" << QStringList{"b.md"}
                                        << QStringList{"b.md"} << 3;
        // The count shows at once; the new row waits until the submenu has closed.
        QTest::newRow("a count changed") << menu("Today (2)", {"b.md", "a.md"}) << "Today (2)" << QStringList{"a.md"}
                                         << QStringList{"b.md", "a.md"} << 3;
        QTest::newRow("a row appeared above") << menu("Today (1)", {"a.md"}, true) << "Today (1)" << QStringList{"a.md"}
                                              << QStringList{"a.md"} << 4;
    }

    void openSubmenusStayOpenAcrossRefreshes()
    {
        QFETCH(MenuRows, next);
        QFETCH(QString, todayLabel);
        QFETCH(QStringList, todayRowsWhileOpen);
        QFETCH(QStringList, todayRowsReopened);
        QFETCH(int, rootRowsReopened);

        QMenu root;
        MenuRenderer renderer(&root);
        renderer.render(menu("Today (1)", {"a.md"}));
        root.popup(QPoint(20, 20));
        QPointer<QMenu> vault = submenu(&root, "Vault");
        QVERIFY(vault);
        vault->popup(QPoint(220, 20));
        QPointer<QMenu> today = submenu(vault, "Today (1)");
        QVERIFY(today);
        today->popup(QPoint(420, 20));
        QTRY_VERIFY(today->isVisible());

        renderer.render(next);
        settle();
        QVERIFY(vault && vault->isVisible());
        QVERIFY(today && today->isVisible());
        QCOMPARE(texts(today), todayRowsWhileOpen);
        if (rootRowsReopened == 3)  // same shape: the label changes in place
            QCOMPARE(today->menuAction()->text(), todayLabel);

        today->close();
        vault->close();
        root.close();
        QTRY_VERIFY(!root.isVisible());
        QTRY_COMPARE(root.actions().size(), rootRowsReopened);
        root.popup(QPoint(20, 20));
        QMenu* vaultAgain = submenu(&root, "Vault");
        vaultAgain->popup(QPoint(220, 20));
        QMenu* todayAgain = submenu(vaultAgain, todayLabel);
        QVERIFY(todayAgain);
        todayAgain->popup(QPoint(420, 20));
        QCOMPARE(texts(todayAgain), todayRowsReopened);
        root.close();
    }

    void daySubmenusMakeTheirRowsWhenOpened()
    {
        const QDateTime now(QDate(2026, 3, 4), QTime(14, 30));
        VaultMenu::Inputs inputs;
        inputs.now = now;
        for (int back = 1; back <= 3; ++back)
            for (int i = 0; i < 40; ++i)
                inputs.lists.recent << entry(QString("d%1-%2.md").arg(back).arg(i), now.addDays(-back));
        const MenuRows rows = VaultMenu::recent(inputs, {});
        QCOMPARE(rows.size(), 1);
        QVERIFY(rows.first().children.isEmpty());  // the days are worked out when "Recent" opens
        const MenuRows days = rows.first().content();
        QCOMPARE(days.size(), 3);
        for (const MenuRow& day : days) {
            QVERIFY(day.children.isEmpty());  // nothing made ahead
            QCOMPARE(day.content().size(), 40);
        }

        QMenu root;
        MenuRenderer renderer(&root);
        renderer.render(rows);
        QMenu* recent = submenu(&root, "Recent (7 days)");
        QVERIFY(recent);
        QVERIFY(recent->actions().isEmpty());
        root.popup(QPoint(20, 20));
        recent->popup(QPoint(220, 20));
        QCOMPARE(texts(recent), (QStringList{"Yesterday (40)", "Mar 2 (40)", "Mar 1 (40)"}));
        QMenu* yesterday = submenu(recent, "Yesterday (40)");
        QMenu* older = submenu(recent, "Mar 2 (40)");
        QVERIFY(yesterday->actions().isEmpty());
        yesterday->popup(QPoint(420, 20));
        QCOMPARE(yesterday->actions().size(), 40);
        QVERIFY(older->actions().isEmpty());  // still unopened
        root.close();
    }

    void statusRowsReadAsTextAndLongRowsStayNarrow()
    {
        const QString longWarning = QString("The microphone has been silent for a while. ").repeated(8);
        const QString longFile = QString("a-very-long-file-name-").repeated(12) + ".md";
        QMenu root;
        MenuRenderer renderer(&root);
        renderer.render({MenuRow::header("Captures"), MenuRow::caption("Mirelon not connected"),
                         MenuRow::caption(longWarning), MenuRow::button(longFile, {}), MenuRow::button("Quit", {})});
        root.popup(QPoint(20, 20));
        QTRY_VERIFY(root.isVisible());

        // Plain actions with their text, which a panel drawing the menu from its export shows too.
        for (QAction* action : root.actions().mid(0, 3)) {
            QVERIFY(!qobject_cast<QWidgetAction*>(action));
            QVERIFY(!action->isSeparator());
            QVERIFY2(!action->isEnabled(), "a status row is no command");
        }
        QCOMPARE(root.actions()[0]->text(), QString("Captures"));
        QVERIFY(root.actions()[0]->font().bold());
        QCOMPARE(root.actions()[1]->text(), QString("Mirelon not connected"));
        for (const int row : {2, 3}) {
            const QString full = row == 2 ? longWarning : longFile;
            QCOMPARE(root.actions()[row]->toolTip(), full);
            QVERIFY(root.actions()[row]->text().size() < full.size());
        }
        QVERIFY2(root.width() <= MenuRenderer::kMaxTextWidth + 120, qPrintable(QString::number(root.width())));
        root.close();
    }

    // The window that stands in for the tray: a ticking clock or a new count changes its rows in
    // place, so a submenu opened from it stays open; a new shape makes its rows afresh.
    void menuWindowKeepsOpenSubmenusAcrossRefreshes()
    {
        const auto rows = [](const QString& clock, bool extra) {
            MenuRows rows{MenuRow::button("Recording", {}), MenuRow::caption("1 pending"),
                          MenuRow::submenu("Vault", {MenuRow::button("a_b.md", {})})};
            rows[0].trailing = clock;
            if (extra)
                rows << MenuRow::button("Quit", {});
            return rows;
        };
        MenuWindow window;
        window.render(rows("0:01", false));
        window.show();
        QPushButton* vault = nullptr;
        for (QPushButton* button : window.findChildren<QPushButton*>())
            if (button->text() == "Vault")
                vault = button;
        QVERIFY(vault && vault->menu());
        QPointer<QMenu> open = vault->menu();
        open->popup(QPoint(200, 20));
        QTRY_VERIFY(open->isVisible());
        QCOMPARE(texts(open), QStringList{"a_b.md"});

        window.render(rows("0:02", false));
        settle();
        QVERIFY(open && open->isVisible());
        QStringList shown;
        for (const QPushButton* button : window.findChildren<QPushButton*>())
            shown << button->text();
        QVERIFY2(shown.contains("Recording  0:02"), qPrintable(shown.join(" | ")));

        open->close();
        window.render(rows("0:03", true));
        settle();
        QVERIFY(!open);  // made afresh
        QCOMPARE(window.findChildren<QPushButton*>().size(), 3);
    }

    void shortcutsWorkWhileTheMenuIsOpen_data()
    {
        QTest::addColumn<bool>("fromSubmenu");
        QTest::newRow("menu") << false;
        QTest::newRow("open submenu") << true;
    }

    void shortcutsWorkWhileTheMenuIsOpen()
    {
        QFETCH(bool, fromSubmenu);
        QStringList chosen;
        QMenu root;
        MenuRenderer renderer(&root);
        renderer.render({MenuRow::submenu("Vault", {MenuRow::button("a.md", [&] { chosen << "a.md"; })}),
                         MenuRow::button("Search Vault\u2026", [&] { chosen << "search"; }, QKeySequence(Qt::CTRL | Qt::Key_F)),
                         MenuRow::button("Quit", [&] { chosen << "quit"; }, QKeySequence(Qt::CTRL | Qt::Key_Q))});
        root.popup(QPoint(20, 20));
        QTRY_VERIFY(root.isVisible());
        QMenu* target = &root;
        if (fromSubmenu) {
            target = submenu(&root, "Vault");
            target->popup(QPoint(220, 20));
            QTRY_VERIFY(target->isVisible());
        }
        QTest::keyClick(target, Qt::Key_F, Qt::ControlModifier);
        QTRY_COMPARE(chosen, QStringList{"search"});
        QTRY_VERIFY(!root.isVisible());
        QVERIFY(!target->isVisible());
    }

    void trayIconIsSquareAndReadsOnAnyPanel_data()
    {
        QTest::addColumn<MenuBarLabel::Content>("content");
        QTest::newRow("count") << MenuBarLabel::content(false, 0, 7);
        QTest::newRow("zero") << MenuBarLabel::content(false, 0, 0);
        QTest::newRow("three digits") << MenuBarLabel::content(false, 0, 348);
        QTest::newRow("recording") << MenuBarLabel::content(true, 3725, 7);
    }

    void trayIconIsSquareAndReadsOnAnyPanel()
    {
        QFETCH(MenuBarLabel::Content, content);
        for (const int side : {16, 22, 24, 32})
            for (const qreal ratio : {1.0, 2.0}) {
                const QPixmap pixmap = MenuBarLabel::render(content, side, ratio);
                QCOMPARE(pixmap.width(), qRound(side * ratio));
                QCOMPARE(pixmap.height(), pixmap.width());
            }
        const QImage icon = MenuBarLabel::render(content, 22).toImage();
        for (const QColor& panel : {QColor(Qt::white), QColor(0xe8e8e8), QColor(0x2d2d2d), QColor(Qt::black)}) {
            const double share = visibleShare(icon, panel, Contrast::kGraphic);
            QVERIFY2(share >= 0.2, qPrintable(QString("%1 of the icon stands out on %2").arg(share).arg(panel.name())));
        }
        for (const QSize& size : MenuBarLabel::icon(content).availableSizes())
            QCOMPARE(size.width(), size.height());
        // White digits on the badge.
        QVERIFY(Contrast::ratio(Qt::white, Brand::badgeColour()) >= Contrast::kText);
        QCOMPARE(MenuBarLabel::badgeText("1234"), QString("999+"));
    }

    // However many digits, the count never covers the microphone: a covered cradle leaves an
    // outline that reads as a padlock.
    void theCountLeavesTheMicrophoneReadable_data()
    {
        QTest::addColumn<QString>("count");
        for (const char* count : {"7", "42", "348", "999+"})
            QTest::newRow(count) << QString::fromLatin1(count);
    }

    void theCountLeavesTheMicrophoneReadable()
    {
        QFETCH(QString, count);
        const MenuBarLabel::Layout layout = MenuBarLabel::layout(count);
        // The badge's light ring reaches 0.8 beyond it.
        const QRectF covered = layout.badge.adjusted(-0.8, -0.8, 0.8, 0.8);
        int inside = 0;
        int hidden = 0;
        for (qreal x = 0; x < 22; x += 0.25)
            for (qreal y = 0; y < 22; y += 0.25)
                if (layout.microphone.contains(QPointF(x, y))) {
                    ++inside;
                    hidden += covered.contains(QPointF(x, y)) ? 1 : 0;
                }
        QVERIFY(inside > 0);
        QVERIFY2(hidden <= inside / 5, qPrintable(QStringLiteral("%1 of %2 points hidden").arg(hidden).arg(inside)));
        QVERIFY(layout.microphone.boundingRect().height() >= 9);
        QVERIFY(QRectF(0, 0, 22, 22).contains(layout.badge));
    }
};

QTEST_MAIN(MenuRendererTest)
#include "tst_menu_renderer.moc"
