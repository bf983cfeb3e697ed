// The tray menu as a panel receives it over StatusNotifierItem and dbusmenu, against a fake panel
// (tests/support/tray_host.py) on a private session bus: the item registers, every row reads as the
// menu shows it (status lines and section titles as text, underscores and ampersands kept), a
// click on an exported row runs it, a left click leaves the menu to the panel, and a panel that
// starts after the application still gets its icon.

#include "RecordingServices.h"
#include "app/HarkwellApp.h"
#include "app/MenuBarLabel.h"
#include "app/MenuRenderer.h"
#include "app/MenuWindow.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/schemes/SchemeHandlers.h"
#include "support/PrivateSessionBus.h"
#include "support/TempHome.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTest>

using namespace harkwell;

namespace {

// The fake panel: one process for the whole program, since Qt asks once whether a panel is there.
class TrayHost {
public:
    bool start()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("/usr/bin/python3", {HARKWELL_TRAY_HOST});
        return m_process.waitForStarted(10000) && next("ready").value("ready").toBool();
    }
    ~TrayHost()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    void send(const QByteArray& command) { m_process.write(command + '\n'); }

    // The next line that holds `key`, read while this process's event loop runs, since the panel
    // calls back into it; empty after ten seconds.
    QJsonObject next(const QString& key)
    {
        QJsonObject found;
        const auto take = [&] {
            while (m_process.canReadLine()) {
                const QJsonObject line = QJsonDocument::fromJson(m_process.readLine()).object();
                if (line.contains("error"))
                    qWarning() << "tray host:" << line.value("error").toString();
                if (line.contains(key)) {
                    found = line;
                    return true;
                }
            }
            return false;
        };
        if (!QTest::qWaitFor(take, 10000))
            qWarning() << "tray host: no line with" << key;
        return found;
    }

private:
    QProcess m_process;
};

// A row as the panel draws it: "label" for text, "---" for a separator, "(off)" after a row that
// cannot be clicked, and a submenu's rows in brackets after it.
QStringList drawn(const QJsonArray& rows)
{
    QStringList out;
    for (const QJsonValue& value : rows) {
        const QJsonObject row = value.toObject();
        if (!row.value("visible").toBool())
            continue;
        if (row.value("type").toString() == "separator") {
            out << "---";
            continue;
        }
        QString text = row.value("label").toString();
        if (!row.value("enabled").toBool())
            text += " (off)";
        if (row.contains("children"))
            text += " [" + drawn(row.value("children").toArray()).join(", ") + "]";
        out << text;
    }
    return out;
}

int idOf(const QJsonArray& rows, const QString& label)
{
    for (const QJsonValue& value : rows) {
        const QJsonObject row = value.toObject();
        if (row.value("label").toString() == label)
            return row.value("id").toInt();
        if (const int inside = idOf(row.value("children").toArray(), label); inside >= 0)
            return inside;
    }
    return -1;
}

}  // namespace

class TrayExportTest : public QObject {
    Q_OBJECT
private slots:
    // First, while no panel runs: Qt decides once per process whether there is one.
    void aPanelStartedLaterGetsTheIcon()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        test::RecordingServices services;
        HarkwellApp app(services, notifications, schemes);
        app.start();
        QTRY_VERIFY(app.menuWindow() && app.menuWindow()->isVisible());
        QVERIFY(!app.trayIcon());

        QVERIFY2(m_host.start(), "the fake panel (python3-dbus, python3-gi) did not start");
        const QJsonObject reading = m_host.next("rows");
        QVERIFY2(drawn(reading.value("rows").toArray()).contains("Quit"), qPrintable(QJsonDocument(reading).toJson()));
        QVERIFY(app.trayIcon());
        QVERIFY(!app.trayIcon()->icon().isNull());
        QCOMPARE(app.trayIcon()->toolTip(), MenuBarLabel::toolTip(app.labelContent()));
    }

    void exportedRowsReadAsTheMenuShowsThem()
    {
        QStringList chosen;
        QMenu menu;
        MenuRenderer renderer(&menu);
        QSystemTrayIcon tray;
        tray.setIcon(QIcon(QPixmap(22, 22)));
        tray.setContextMenu(&menu);
        renderer.render({MenuRow::caption("1 pending"), MenuRow::caption("Mirelon not connected"), MenuRow::separator(),
                         MenuRow::header("Captures"), MenuRow::button("_inbox", [&] { chosen << "_inbox"; }),
                         MenuRow::button("meeting_notes.md", [&] { chosen << "meeting_notes.md"; }),
                         MenuRow::submenu("Vault", {MenuRow::button("a_b & c.md", [&] { chosen << "a_b & c.md"; })}),
                         MenuRow::button("Welcome & guide\u2026", [&] { chosen << "welcome"; })});
        tray.show();

        const QJsonObject reading = m_host.next("rows");
        const QJsonArray rows = reading.value("rows").toArray();
        QCOMPARE(drawn(rows), (QStringList{"1 pending (off)", "Mirelon not connected (off)", "---", "Captures (off)",
                                           "_inbox", "meeting_notes.md", "Vault [a_b & c.md]", "Welcome & guide\u2026"}));

        for (const QString& label : {QString("meeting_notes.md"), QString("a_b & c.md")}) {
            const int id = idOf(rows, label);
            QVERIFY(id >= 0);
            m_host.send("click " + QByteArray::number(id));
            QVERIFY(!m_host.next("clicked").isEmpty());
            QTRY_COMPARE(chosen.size() > 0 ? chosen.last() : QString(), label);
        }
        tray.hide();
    }

    void leftClickLeavesTheMenuToThePanel()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        test::RecordingServices services;
        services.watching = true;
        HarkwellApp app(services, notifications, schemes);
        app.start();
        QTRY_VERIFY(app.trayIcon());
        QVERIFY(!app.menuWindow());  // a panel shows the icon: no window of our own

        const QJsonObject reading = m_host.next("rows");
        qInfo() << "ItemIsMenu" << reading.value("itemIsMenu");
        const QStringList rows = drawn(reading.value("rows").toArray());
        QVERIFY2(rows.contains("Captures (off)"), qPrintable(rows.join(" | ")));
        QVERIFY2(rows.contains("Capture: starting\u2026 (off)"), qPrintable(rows.join(" | ")));

        m_host.send("activate");
        QVERIFY(!m_host.next("activated").isEmpty());
        QCoreApplication::processEvents();
        QVERIFY2(!app.menu()->isVisible(), "a menu of our own would float away from the panel");
    }

private:
    TrayHost m_host;
};

int main(int argc, char** argv)
{
    // Before the application exists, so that Qt's own first look for a panel is on this bus.
    test::PrivateSessionBus bus;
    if (bus.address().isEmpty()) {
        qCritical("no private session bus: dbus-daemon did not start");
        return 1;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
    QApplication app(argc, argv);
    TrayExportTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray_export.moc"
