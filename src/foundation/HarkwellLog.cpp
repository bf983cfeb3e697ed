#include "foundation/HarkwellLog.h"

#include "platform/paths/Paths.h"
#include "platform/queue/SerialQueue.h"
#include "platform/syslog/SystemLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace harkwell {

namespace {

SerialQueue& logQueue()
{
    static SerialQueue queue(QStringLiteral("harkwell.log"));
    return queue;
}

// Internet date-time in the process's zone: seconds, offset with a colon, "Z" for UTC.
QString stamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    QString text = now.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    if (offset == 0)
        return text + QLatin1Char('Z');
    const int minutes = std::abs(offset) / 60;
    return text + (offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
           + QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

void append(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QFileInfo info(path);
    if (info.exists() && info.size() >= HarkwellLog::kRotationSize) {
        const QString rotated = info.absolutePath() + QStringLiteral("/harkwell.1.log");
        QFile::remove(rotated);
        QFile::rename(path, rotated);
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(bytes);
}

}  // namespace

QString HarkwellLog::fileUrl() { return Paths::logFile(); }

void HarkwellLog::write(const QString& line)
{
    QByteArray record = (stamp() + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8();
    // The path is fixed at the call, so a line lands in the home that was current when it was written.
    logQueue().post([path = Paths::logFile(), record = std::move(record)] { append(path, record); });
}

void HarkwellLog::log(const QString& line)
{
    SystemLog::write(line);
    write(line);
}

void HarkwellLog::waitUntilWritten() { logQueue().sync([] {}); }

}  // namespace harkwell
