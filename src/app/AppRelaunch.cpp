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
    auto* alert = new QMessageBox;
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setIcon(QMessageBox::Information);
    alert->setWindowTitle(QStringLiteral("Restart Harkwell"));
    alert->setText(QStringLiteral("Restart harkwell?"));
    alert->setInformativeText(reason);
    QPushButton* restart = alert->addButton(QStringLiteral("Restart Now"), QMessageBox::AcceptRole);
    alert->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    alert->setDefaultButton(restart);
    // A tray application has no window of its own in front: bring the alert there. It blocks no
    // other window, so a panel above it can never leave the app waiting on a question it hides.
    alert->setWindowFlag(Qt::WindowStaysOnTopHint);
    alert->setWindowModality(Qt::WindowModal);
    QObject::connect(alert, &QMessageBox::finished, alert, [alert, restart] {
        if (alert->clickedButton() == restart)
            relaunch();
    });
    alert->open();
    alert->raise();
    alert->activateWindow();
}

}  // namespace harkwell
