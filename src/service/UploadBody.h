#pragma once
// The body of an upload, read from the audio file as the request goes out instead of being built
// in memory: the form's text parts, then the file's bytes, then the closing boundary. A thread of
// its own reads the file a few chunks ahead, so the thread that sends never waits on the disk and
// no more than a few megabytes are held however large the file is.

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace harkwell {

class UploadBody final : public QIODevice {
    Q_OBJECT
public:
    static constexpr qint64 kChunkBytes = 256 * 1024;
    static constexpr qint64 kReadAheadBytes = 4 * 1024 * 1024;

    // `fileSize` is what the request announces; a file that turns out shorter fails the read.
    UploadBody(QByteArray head, QString filePath, qint64 fileSize, QByteArray tail, QObject* parent = nullptr);
    ~UploadBody() override;

    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_head.size() + m_fileSize + m_tail.size(); }
    bool seek(qint64 pos) override;
    // Why the file's bytes stopped coming (unreadable, cut short); empty while they flow.
    QString failure() const;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    struct Chunk {
        qint64 offset = 0;  // in the file
        QByteArray bytes;
    };

    void readAhead();  // the reader thread
    void restartAt(qint64 fileOffset);
    void stopReader();

    const QByteArray m_head;
    const QString m_path;
    const qint64 m_fileSize;
    const QByteArray m_tail;

    std::thread m_reader;
    mutable std::mutex m_lock;  // guards every field below
    std::condition_variable m_wake;
    std::deque<Chunk> m_chunks;
    qint64 m_buffered = 0;
    qint64 m_next = 0;        // the file offset the reader reads next
    quint64 m_generation = 0; // bumped by a seek, so a read under way for the old place is dropped
    QString m_error;
    bool m_stop = false;
};

}  // namespace harkwell
