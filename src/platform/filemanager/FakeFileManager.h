#pragma once
// Records what would have been revealed; trashes for real (a test's files are its own) unless told
// to refuse.

#include "platform/filemanager/FileManager.h"
#include "platform/files/FileNames.h"

#include <QList>
#include <QMutex>
#include <QStringList>

#include <unistd.h>

#include <optional>

namespace harkwell {

class FakeFileManager final : public FileManager {
public:
    void reveal(const QUrl& file) override
    {
        QMutexLocker locker(&m_lock);
        m_revealed.append(file);
    }
    // Removes the file by its bytes, on whichever thread calls.
    std::expected<void, FileManagerError> moveToTrash(const QUrl& file) override
    {
        std::optional<QString> refusal;
        {
            QMutexLocker locker(&m_lock);
            m_trashAttempts.append(file);
            refusal = m_refusal;
        }
        if (refusal)
            return std::unexpected(FileManagerError{*refusal});
        if (::unlink(FileNames::nativePath(file).constData()) != 0)
            return std::unexpected(FileManagerError{QStringLiteral("No such file")});
        return {};
    }

    // Every later trash fails with this text (none: trashing works again).
    void setRefusal(std::optional<QString> text)
    {
        QMutexLocker locker(&m_lock);
        m_refusal = std::move(text);
    }
    QList<QUrl> revealed() const
    {
        QMutexLocker locker(&m_lock);
        return m_revealed;
    }
    QList<QUrl> trashAttempts() const
    {
        QMutexLocker locker(&m_lock);
        return m_trashAttempts;
    }

private:
    mutable QMutex m_lock;  // guards every field: trashing runs on worker threads
    QList<QUrl> m_revealed;
    QList<QUrl> m_trashAttempts;
    std::optional<QString> m_refusal;
};

}  // namespace harkwell
