#include "foundation/HarkwellLog.h"

#include "platform/paths/Paths.h"
#include "platform/queue/SerialQueue.h"
#include "platform/syslog/SystemLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Writes the whole record or nothing: a write cut short (a full disk) is taken back, so the next
// record never continues a half line.
void appendWhole(int fd, const QByteArray& bytes)
{
    struct stat before {};
    if (::fstat(fd, &before) != 0)
        return;
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (::ftruncate(fd, before.st_size) != 0) {
                // Cannot take it back: end the stub so at least the next record starts a line.
                (void)::write(fd, "\n", 1);
            }
            return;
        }
        data += written;
        left -= written;
    }
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
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    appendWhole(fd, bytes);
    ::close(fd);
}

}  // namespace

QString HarkwellLog::fileUrl() { return Paths::logFile(); }

QString HarkwellLog::oneLine(const QString& text)
{
    QString line;
    line.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        // A surrogate without its partner: a byte of a file name that is not UTF-8 (FileNames::text)
        // is shown as that byte, anything else by its code.
        const bool paired = c.isHighSurrogate() ? i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
                                                : c.isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate();
        if (c.isSurrogate() && !paired) {
            if (u >= 0xDC80 && u <= 0xDCFF)
                line += QStringLiteral("\\x") + QString::number(int(u - 0xDC00), 16).toUpper();
            else
                line += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
            continue;
        }
        switch (u) {
        case u'\n': line += QLatin1String("\\n"); continue;
        case u'\r': line += QLatin1String("\\r"); continue;
        case u'\t': line += QLatin1String("\\t"); continue;
        default: break;
        }
        // C0 and C1 controls, DEL, and the separators that some viewers break lines at.
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029)
            line += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            line += c;
    }
    return line;
}

void HarkwellLog::write(const QString& line)
{
    QByteArray record = (stamp() + QLatin1Char(' ') + oneLine(line) + QLatin1Char('\n')).toUtf8();
    // The path is fixed at the call, so a line lands in the home that was current when it was written.
    logQueue().post([path = Paths::logFile(), record = std::move(record)] { append(path, record); });
}

void HarkwellLog::log(const QString& line)
{
    SystemLog::write(oneLine(line));
    write(line);
}

void HarkwellLog::waitUntilWritten() { logQueue().sync([] {}); }

}  // namespace harkwell
