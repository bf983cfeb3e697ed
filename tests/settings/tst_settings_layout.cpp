// The settings window on a screen: every control of every tab is drawn at least as high as it
// asks to be and lies where the user can see it or scroll to it, at the size the window opens
// with and at its smallest; and pictures of every tab for people to look at.

#include "SettingsFixture.h"

#include "settings/ImportExistingSheet.h"
#include "settings/SettingsWindowController.h"
#include "support/WidgetShot.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QScrollArea>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

Q_DECLARE_METATYPE(harkwell::test::Shade)

using namespace harkwell;
using namespace harkwell::test;

namespace {

bool isControl(QWidget* widget)
{
    // The parts of a compound control (a date field's text) are laid out by the control itself.
    QWidget* parent = widget->parentWidget();
    if (qobject_cast<QAbstractSpinBox*>(parent) || qobject_cast<QComboBox*>(parent))
        return false;
    if (auto* label = qobject_cast<QLabel*>(widget))
        return !label->text().isEmpty();
    return qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLineEdit*>(widget) ||
           qobject_cast<QComboBox*>(widget) || qobject_cast<QPlainTextEdit*>(widget) ||
           qobject_cast<QAbstractSpinBox*>(widget);
}

// The height the widget needs at its width: what it asks for, within its own limits. A text
// area asks for more than it needs and scrolls itself, so its minimum counts.
int neededHeight(QWidget* widget)
{
    int needed = 0;
    if (qobject_cast<QPlainTextEdit*>(widget))
        needed = widget->minimumSizeHint().height();
    else if (widget->hasHeightForWidth())
        needed = widget->heightForWidth(widget->width());
    else
        needed = widget->sizeHint().height();
    return std::clamp(needed, widget->minimumHeight(), widget->maximumHeight());
}

QString describe(QWidget* widget)
{
    QString text;
    if (auto* label = qobject_cast<QLabel*>(widget))
        text = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(widget))
        text = button->text();
    return QStringLiteral("%1 %2 \"%3\"").arg(QString::fromLatin1(widget->metaObject()->className()), widget->objectName(),
                                               text.left(40));
}

// What is wrong on the page now showing: controls squeezed, or out of the user's reach.
QStringList problemsOfPage(QWidget* page)
{
    // A page that scrolls reaches all of its content; one that does not reaches only its own rect.
    auto* scroll = qobject_cast<QScrollArea*>(page);
    QWidget* content = scroll ? scroll->widget() : page;
    QStringList problems;
    for (QWidget* widget : content->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(content) || !isControl(widget))
            continue;
        const QRect area(widget->mapTo(content, QPoint(0, 0)), widget->size());
        if (widget->height() < neededHeight(widget))
            problems << QStringLiteral("%1 is %2 px high, needs %3").arg(describe(widget)).arg(widget->height()).arg(neededHeight(widget));
        if (widget->width() <= 0 || !content->rect().contains(area))
            problems << QStringLiteral("%1 at %2,%3 %4x%5 lies outside the page's %6x%7")
                            .arg(describe(widget))
                            .arg(area.x())
                            .arg(area.y())
                            .arg(area.width())
                            .arg(area.height())
                            .arg(content->width())
                            .arg(content->height());
    }
    return problems;
}

void settle(QWidget* window)
{
    window->layout()->activate();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

}  // namespace

class SettingsLayoutTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsFixture> f;

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void init()
    {
        f = std::make_unique<SettingsFixture>();
        f->pair(true);
        f->store([](AppSettings& s) {
            s.captureMirelonEnabled = true;
            s.afterTranscriptCommand = QStringLiteral("claude -p \"/inbox\"");
        });
    }
    void cleanup() { f.reset(); }

    void everyControlIsUsableOnEveryTab_data()
    {
        QTest::addColumn<bool>("smallest");
        QTest::newRow("as opened") << false;
        QTest::newRow("at its smallest") << true;
    }
    void everyControlIsUsableOnEveryTab()
    {
        QFETCH(bool, smallest);
        SettingsWindowController controller(f->services());
        controller.show();
        QDialog* window = controller.window();
        if (smallest)
            window->resize(window->minimumSize());
        QVERIFY(window->minimumWidth() >= 400 && window->minimumHeight() >= 300);
        QTabWidget* tabs = controller.view()->tabs();
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            settle(window);
            const QStringList problems = problemsOfPage(tabs->currentWidget());
            QVERIFY2(problems.isEmpty(), qPrintable(tabs->tabText(i) + QStringLiteral(": ") + problems.join(QStringLiteral("; "))));
        }
    }

    // No section hides behind scroll arrows, under the default style's metrics or another's.
    void everyTabIsInSightAtTheSmallestSize_data()
    {
        QTest::addColumn<QString>("style");
        QTest::newRow("Fusion") << "Fusion";
        QTest::newRow("Windows") << "Windows";
    }
    void everyTabIsInSightAtTheSmallestSize()
    {
        QFETCH(QString, style);
        const QString before = QApplication::style()->name();
        QApplication::setStyle(style);
        const auto restore = qScopeGuard([&] { QApplication::setStyle(before); });
        QFont larger = QApplication::font();
        larger.setPointSizeF(larger.pointSizeF() * 1.15);
        const QFont kept = QApplication::font();
        QApplication::setFont(larger);
        const auto restoreFont = qScopeGuard([&] { QApplication::setFont(kept); });

        SettingsWindowController controller(f->services());
        controller.show();
        QDialog* window = controller.window();
        window->resize(window->minimumSize());
        settle(window);
        QTabBar* bar = controller.view()->tabs()->tabBar();
        for (int i = 0; i < bar->count(); ++i)
            QVERIFY2(bar->rect().contains(bar->tabRect(i)), qPrintable(bar->tabText(i)));
    }

    // Tab goes from control to control; a page that only holds them is never a stop of its own.
    void tabNeverStopsOnAPage()
    {
        SettingsWindowController controller(f->services());
        controller.show();
        QDialog* window = controller.window();
        QTabWidget* tabs = controller.view()->tabs();
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            tabs->tabBar()->setFocus(Qt::TabFocusReason);
            for (int step = 0; step < 12; ++step) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                QVERIFY2(!qobject_cast<QScrollArea*>(QApplication::focusWidget()), qPrintable(tabs->tabText(i)));
            }
        }
    }

    void theWindowCanBeResized()
    {
        SettingsWindowController controller(f->services());
        controller.show();
        QDialog* window = controller.window();
        QVERIFY(window->minimumSize() != window->maximumSize());
        const QSize opened = window->size();
        window->resize(opened + QSize(200, 150));
        QCOMPARE(window->size(), opened + QSize(200, 150));
    }

    void theRecordingTabIsLeftOutWithoutSystemSound()
    {
        SettingsServices services = f->services();
        services.app.recordingSupported = [] { return false; };
        SettingsView view(services);
        QStringList labels;
        for (int i = 0; i < view.tabs()->count(); ++i)
            labels << view.tabs()->tabText(i);
        QCOMPARE(labels, (QStringList{"General", "Paths", "Scanning", "Files", "Captures", "Notify"}));
        // Its keys are still saved, with the values loaded.
        view.save();
        QCOMPARE(f->settingsFile().value("recordingShowWindow"), QJsonValue(true));
    }

    void theSendExistingSheetShowsItsWholeExplanation()
    {
        ImportExistingSheet sheet(f->clock.now(), f->files, nullptr);
        sheet.show();
        settle(&sheet);
        const QStringList problems = problemsOfPage(&sheet);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
    }

    void picturesOfEveryTab_data()
    {
        QTest::addColumn<Shade>("shade");
        QTest::addColumn<int>("scale");
        QTest::newRow("light") << Shade::Light << 1;
        QTest::newRow("light, scale 2") << Shade::Light << 2;
        QTest::newRow("dark") << Shade::Dark << 1;
        QTest::newRow("dark, scale 2") << Shade::Dark << 2;
    }
    void picturesOfEveryTab()
    {
        QFETCH(Shade, shade);
        QFETCH(int, scale);
        const ShadeScope palette(shade);
        SettingsWindowController controller(f->services());
        controller.show();
        QDialog* window = controller.window();
        QTabWidget* tabs = controller.view()->tabs();
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            settle(window);
            const QString name = QStringLiteral("settings-") + tabs->tabText(i).toLower();
            const QString path = screenshotFolder() + u'/' + screenshotName(name, shade, scale);
            QVERIFY2(writePng(window, path, scale), qPrintable(path));
            // The whole page as it scrolls, for a look at what lies below the window's edge.
            if (auto* scroll = qobject_cast<QScrollArea*>(tabs->currentWidget()); scroll && scale == 1) {
                const QString full = screenshotFolder() + u'/' + screenshotName(name + QStringLiteral("-page"), shade, scale);
                QVERIFY2(writePng(scroll->widget(), full, scale), qPrintable(full));
            }
        }
    }
};

QTEST_MAIN(SettingsLayoutTest)
#include "tst_settings_layout.moc"
