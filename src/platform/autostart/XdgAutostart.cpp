#include "platform/autostart/Autostart.h"

#include "platform/files/AtomicFile.h"
#include "platform/identity/Identity.h"
#include "platform/paths/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>

namespace harkwell {

namespace {

// Hidden=true is how the desktop (and the user) switch an entry off without deleting it.
bool isHidden(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inEntry = false;
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = stream.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inEntry)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        if (line.left(equals).trimmed() == QLatin1String("Hidden"))
            return line.mid(equals + 1).trimmed() == QLatin1String("true");
    }
    return false;
}

}  // namespace

XdgAutostart::XdgAutostart(QString executablePath) : m_executablePath(std::move(executablePath)) {}

AutostartStatus XdgAutostart::status() const
{
    const QString path = Paths::autostartFile();
    if (!QFileInfo::exists(path) || isHidden(path))
        return AutostartStatus::NotRegistered;
    return AutostartStatus::Enabled;
}

QString XdgAutostart::execLine(const QString& executablePath)
{
    // Inside a quoted Exec argument ", `, $ and \ take a backslash; the value as a whole is a
    // desktop-entry string, whose own escape doubles every backslash; a field code starts with %.
    QString quoted;
    for (const QChar c : executablePath) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
            quoted += QLatin1String("\\\\") + c;
        else if (c == QLatin1Char('\\'))
            quoted += QLatin1String("\\\\\\\\");
        else if (c == QLatin1Char('%'))
            quoted += QLatin1String("%%");
        else
            quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString XdgAutostart::execValue(const QString& executablePath, const QString& onPath)
{
    const QString self = QFileInfo(executablePath).canonicalFilePath();
    if (!onPath.isEmpty() && !self.isEmpty() && QFileInfo(onPath).canonicalFilePath() == self)
        return QFileInfo(onPath).fileName();
    return execLine(executablePath);
}

std::expected<void, AutostartError> XdgAutostart::registerItem()
{
    if (!QDir().mkpath(Paths::autostartFolder()))
        return std::unexpected(AutostartError{QStringLiteral("Could not create the folder %1").arg(Paths::autostartFolder())});
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=%1\n"
                                         "Exec=%2\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(QLatin1String(identity::kApplicationName),
                                   execValue(m_executablePath, QStandardPaths::findExecutable(QStringLiteral("harkwell"))));
    const auto written = AtomicFile::write(Paths::autostartFile(), entry.toUtf8());
    if (!written)
        return std::unexpected(AutostartError{written.error().text});
    return {};
}

std::expected<bool, AutostartError> XdgAutostart::follow()
{
    const QString wanted = execValue(m_executablePath, QStandardPaths::findExecutable(QStringLiteral("harkwell")));
    // Only the copy the PATH finds takes the entry over; a build tree or a copy started by hand
    // leaves it to whichever it names.
    if (wanted != QLatin1String("harkwell") || status() != AutostartStatus::Enabled)
        return false;
    QFile file(Paths::autostartFile());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::unexpected(AutostartError{QStringLiteral("Could not read %1: %2").arg(file.fileName(), file.errorString())});
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    file.close();
    bool inEntry = false;
    bool changed = false;
    for (QString& line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('[')))
            inEntry = trimmed == QLatin1String("[Desktop Entry]");
        else if (inEntry && trimmed.startsWith(QLatin1String("Exec=")) && trimmed != QLatin1String("Exec=") + wanted) {
            line = QLatin1String("Exec=") + wanted;
            changed = true;
        }
    }
    if (!changed)
        return false;
    const auto written = AtomicFile::write(Paths::autostartFile(), lines.join(QLatin1Char('\n')).toUtf8());
    if (!written)
        return std::unexpected(AutostartError{written.error().text});
    return true;
}

std::expected<void, AutostartError> XdgAutostart::unregisterItem()
{
    QFile file(Paths::autostartFile());
    if (file.exists() && !file.remove())
        return std::unexpected(AutostartError{QStringLiteral("Could not remove %1: %2").arg(file.fileName(), file.errorString())});
    return {};
}

}  // namespace harkwell
