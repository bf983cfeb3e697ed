#include "service/UploadBody.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace harkwell {

UploadBody::UploadBody(QByteArray head, QString filePath, qint64 fileSize, QByteArray tail, QObject* parent)
    : QIODevice(parent), m_head(std::move(head)), m_path(std::move(filePath)), m_fileSize(fileSize),
      m_tail(std::move(tail))
{
}

UploadBody::~UploadBody() { stopReader(); }

bool UploadBody::open(OpenMode mode)
{
    if ((mode & ReadWrite) != ReadOnly)
        return false;
    stopReader();
    {
        std::lock_guard locker(m_lock);
        m_stop = false;
        m_chunks.clear();
        m_buffered = 0;
        m_next = 0;
        m_error.clear();
    }
    if (!QIODevice::open(ReadOnly | Unbuffered))
        return false;
    m_reader = std::thread([this] { readAhead(); });
    return true;
}

void UploadBody::close()
{
    stopReader();
    QIODevice::close();
}

void UploadBody::stopReader()
{
    {
        std::lock_guard locker(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_reader.joinable())
        m_reader.join();
}

bool UploadBody::seek(qint64 pos)
{
    if (!QIODevice::seek(pos))
        return false;
    restartAt(std::clamp(pos - m_head.size(), qint64(0), m_fileSize));
    return true;
}

QString UploadBody::failure() const
{
    std::lock_guard locker(m_lock);
    return m_error;
}

void UploadBody::restartAt(qint64 fileOffset)
{
    {
        std::lock_guard locker(m_lock);
        if (!m_chunks.empty() && m_chunks.front().offset <= fileOffset
            && fileOffset <= m_chunks.back().offset + m_chunks.back().bytes.size())
            return;  // already read, or being read next
        if (m_chunks.empty() && m_next == fileOffset)
            return;
        m_chunks.clear();
        m_buffered = 0;
        m_next = fileOffset;
        m_error.clear();
        ++m_generation;
    }
    m_wake.notify_all();
}

void UploadBody::readAhead()
{
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
    const int openError = errno;
    QByteArray buffer;
    std::unique_lock locker(m_lock);
    if (fd < 0) {
        m_error = QStringLiteral("Could not open %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(openError)));
        locker.unlock();
        QMetaObject::invokeMethod(this, &QIODevice::readyRead, Qt::QueuedConnection);
        return;
    }
    while (true) {
        m_wake.wait(locker, [this] {
            return m_stop || (m_error.isEmpty() && m_next < m_fileSize && m_buffered < kReadAheadBytes);
        });
        if (m_stop)
            break;
        const qint64 offset = m_next;
        const quint64 generation = m_generation;
        const qint64 wanted = std::min(kChunkBytes, m_fileSize - offset);
        locker.unlock();

        buffer.resize(wanted);
        qint64 got = 0;
        int readError = 0;
        while (got < wanted) {
            const ssize_t n = ::pread(fd, buffer.data() + got, size_t(wanted - got), off_t(offset + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                readError = n < 0 ? errno : 0;
                break;
            }
            got += n;
        }

        locker.lock();
        if (generation != m_generation)
            continue;
        if (got < wanted) {
            m_error = readError != 0
                ? QStringLiteral("Could not read %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(readError)))
                : QStringLiteral("%1 became shorter while it was being sent.").arg(m_path);
        } else {
            m_chunks.push_back({offset, buffer});
            m_buffered += wanted;
            m_next = offset + wanted;
        }
        locker.unlock();
        QMetaObject::invokeMethod(this, &QIODevice::readyRead, Qt::QueuedConnection);
        locker.lock();
    }
    locker.unlock();
    ::close(fd);
}

qint64 UploadBody::readData(char* data, qint64 maxSize)
{
    const qint64 position = pos();
    const qint64 headSize = m_head.size();
    if (position < headSize) {
        const qint64 n = std::min(maxSize, headSize - position);
        std::memcpy(data, m_head.constData() + position, size_t(n));
        return n;
    }
    const qint64 fileEnd = headSize + m_fileSize;
    if (position >= fileEnd) {
        const qint64 n = std::min(maxSize, qint64(m_tail.size()) - (position - fileEnd));
        if (n <= 0)
            return -1;
        std::memcpy(data, m_tail.constData() + (position - fileEnd), size_t(n));
        return n;
    }

    const qint64 fileOffset = position - headSize;
    qint64 copied = 0;
    bool freed = false;
    {
        std::lock_guard locker(m_lock);
        while (!m_chunks.empty() && m_chunks.front().offset + m_chunks.front().bytes.size() <= fileOffset) {
            m_buffered -= m_chunks.front().bytes.size();
            m_chunks.pop_front();
            freed = true;
        }
        if (!m_chunks.empty() && m_chunks.front().offset <= fileOffset) {
            const Chunk& chunk = m_chunks.front();
            const qint64 at = fileOffset - chunk.offset;
            copied = std::min(maxSize, qint64(chunk.bytes.size()) - at);
            std::memcpy(data, chunk.bytes.constData() + at, size_t(copied));
        } else if (!m_error.isEmpty()) {
            setErrorString(m_error);
            return -1;
        }
    }
    if (freed)
        m_wake.notify_all();
    return copied;  // 0: the reader is still on its way; readyRead follows
}

}  // namespace harkwell
