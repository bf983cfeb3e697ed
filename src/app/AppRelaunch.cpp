#include "app/AppRelaunch.h"

#include "platform/syslog/SystemLog.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>

namespace harkwell {

QStringList AppRelaunch::helperArguments(qint64 pid, const QString& executablePath)
{
    // Up to 100 checks 0.1 s apart: start again as soon as the old process is gone, or after ~10 s anyway.
    static const QString script = QStringLiteral(
        "for i in $(seq 1 100); do kill -0 \"$1\" 2>/dev/null || break; sleep 0.1; done; exec \"$2\"");
    return {QStringLiteral("-c"), script, QStringLiteral("sh"), QString::number(pid), executablePath};
}

std::expected<void, QString> AppRelaunch::startHelper(qint64 pid, const QString& executablePath)
{
    QProcess helper;
    helper.setProgram(QStringLiteral("/bin/sh"));
    helper.setArguments(helperArguments(pid, executablePath));
    helper.setStandardOutputFile(QProcess::nullDevice());
    helper.setStandardErrorFile(QProcess::nullDevice());
    qint64 helperPid = 0;
    if (!helper.startDetached(&helperPid))
        return std::unexpected(helper.errorString());
    return {};
}

void AppRelaunch::relaunch()
{
    const auto started = startHelper(QCoreApplication::applicationPid(), QCoreApplication::applicationFilePath());
    if (!started) {
        SystemLog::write(QStringLiteral("[harkwell] relaunch: failed to spawn helper: %1").arg(started.error()));
        return;
    }
    QCoreApplication::quit();
}

void AppRelaunch::promptAndRelaunch(const QString& reason)
{
    QMessageBox alert;
    alert.setIcon(QMessageBox::Information);
    alert.setText(QStringLiteral("Restart harkwell?"));
    alert.setInformativeText(reason);
    QPushButton* restart = alert.addButton(QStringLiteral("Restart Now"), QMessageBox::AcceptRole);
    alert.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    alert.setDefaultButton(restart);
    // A tray application has no window of its own in front: bring the alert there.
    alert.setWindowFlag(Qt::WindowStaysOnTopHint);
    alert.show();
    alert.raise();
    alert.activateWindow();
    alert.exec();
    if (alert.clickedButton() == restart)
        relaunch();
}

}  // namespace harkwell
