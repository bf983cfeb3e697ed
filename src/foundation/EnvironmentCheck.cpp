#include "foundation/EnvironmentCheck.h"

#include "platform/defaults/Defaults.h"
#include "platform/notifications/Notifications.h"
#include "platform/syslog/SystemLog.h"

#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QThreadPool>
#include <QStringDecoder>

namespace harkwell {

QString EnvironmentCheck::notifiedKey(const QString& id) { return QLatin1String(kNotifiedKeyPrefix) + id; }

void EnvironmentCheck::notifyOnce(const QString& id, const QString& title, const QString& body)
{
    Defaults defaults = Defaults::standard();
    const QString key = notifiedKey(id);
    if (defaults.boolValue(key))
        return;
    defaults.setBool(key, true);

    NotificationRequest request;
    request.identifier = QStringLiteral("env.") + id;
    request.title = title;
    request.body = body;
    request.sound = false;

    // A notice nobody saw (no notification service, or one that refused it) is owed still: its
    // flag goes again, off the main thread as the defaults file is written.
    const auto unsent = [key] {
        QThreadPool::globalInstance()->start([key] { Defaults::standard().remove(key); });
    };
    // Callers run on worker queues; the centre is asked on its own thread.
    QPointer<Notifications> centre = &Notifications::current();
    QMetaObject::invokeMethod(centre, [centre, request, unsent] {
        if (!centre)
            return;
        centre->requestAuthorization([centre, request, unsent](bool granted) {
            if (!centre || !granted)
                return unsent();
            centre->add(request, [unsent](std::expected<void, NotificationError> added) {
                if (!added)
                    unsent();
            });
        });
    });
}

QStringList EnvironmentCheck::extraSearchPaths()
{
    return {QStringLiteral("/opt/homebrew/bin"), QStringLiteral("/usr/local/bin"), QStringLiteral("/opt/local/bin")};
}

QString EnvironmentCheck::expandedPath(const QString& pathVariable, const QStringList& extraSearchPaths)
{
    QStringList parts = pathVariable.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    parts += extraSearchPaths;
    return parts.join(QLatin1Char(':'));
}

std::optional<QString> EnvironmentCheck::resolve(const QString& name)
{
    const QString path = qEnvironmentVariableIsSet("PATH") ? qEnvironmentVariable("PATH")
                                                          : QStringLiteral("/usr/bin:/bin:/usr/sbin:/sbin");
    return resolve(name, extraSearchPaths(), path);
}

std::optional<QString> EnvironmentCheck::resolve(const QString& name, const QStringList& extraSearchPaths,
                                                 const QString& pathVariable)
{
    for (const QString& folder : extraSearchPaths) {
        const QFileInfo candidate(folder + QLatin1Char('/') + name);
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.filePath();
    }

    // The search path and the name reach the shell as positional parameters, never as script text.
    QProcess shell;
    shell.setStandardErrorFile(QProcess::nullDevice());
    shell.start(QStringLiteral("/bin/bash"),
                {QStringLiteral("-c"), QStringLiteral("PATH=\"$1\" command -v \"$2\" 2>/dev/null"), QStringLiteral("bash"),
                 expandedPath(pathVariable, extraSearchPaths), name});
    if (!shell.waitForStarted(-1))
        return std::nullopt;
    shell.waitForFinished(-1);

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString output = decoder.decode(shell.readAllStandardOutput());
    if (decoder.hasError())
        return std::nullopt;
    const QString trimmed = output.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

std::optional<QString> EnvironmentCheck::python3Path()
{
    static const std::optional<QString> path = resolve(QStringLiteral("python3"));
    return path;
}

std::optional<QString> EnvironmentCheck::timeoutPath()
{
    static const std::optional<QString> path = [] {
        const auto timeout = resolve(QStringLiteral("timeout"));
        return timeout ? timeout : resolve(QStringLiteral("gtimeout"));
    }();
    return path;
}

std::optional<QString> EnvironmentCheck::checkFolioizeEnvironment() { return checkFolioizeEnvironment(python3Path()); }

std::optional<QString> EnvironmentCheck::checkFolioizeEnvironment(const std::optional<QString>& python3)
{
    if (!python3)
        return QStringLiteral("python3 not found -- install via `brew install python`");

    QProcess python;
    python.setStandardOutputFile(QProcess::nullDevice());
    python.start(*python3, {QStringLiteral("-c"), QStringLiteral("import markdown, weasyprint")});
    if (!python.waitForStarted(-1))
        return QStringLiteral("python3 failed to launch: ") + python.errorString();
    python.waitForFinished(-1);
    if (python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0)
        return std::nullopt;

    QStringDecoder decoder(QStringDecoder::Utf8);
    QString standardError = decoder.decode(python.readAllStandardError());
    if (decoder.hasError())
        standardError.clear();
    return folioizeFailureText(standardError);
}

QString EnvironmentCheck::folioizeFailureText(const QString& standardError)
{
    static const QRegularExpression missingModule(QStringLiteral("No module named ['\"]([^'\"]+)['\"]"));
    const QRegularExpressionMatch match = missingModule.match(standardError);
    if (!match.hasMatch())
        return QStringLiteral("folioize environment check failed");
    QString module = match.captured(0);
    module.remove(QStringLiteral("No module named "));
    module.remove(QLatin1Char('\''));
    module.remove(QLatin1Char('"'));
    return QStringLiteral("folioize: missing Python module `%1` -- run `pip3 install markdown weasyprint`").arg(module);
}

void EnvironmentCheck::runAtLaunch()
{
    // These lines go to the system log only, not to the log file.
    SystemLog::write(QStringLiteral("[harkwell] env: python3=%1").arg(python3Path().value_or(QStringLiteral("<missing>"))));
    SystemLog::write(QStringLiteral("[harkwell] env: timeout=%1")
                         .arg(timeoutPath().value_or(QStringLiteral("<missing, falling back to bare find>"))));
    const auto problem = checkFolioizeEnvironment();
    if (!problem)
        return;
    SystemLog::write(QStringLiteral("[harkwell] env: %1").arg(*problem));
    notifyOnce(QStringLiteral("env-folioize-missing"), QStringLiteral("harkwell: PDF generation unavailable"), *problem);
}

}  // namespace harkwell
