#pragma once
// Records what would have been revealed; trashes for real (a test's files are its own) unless told
// to refuse.

#include "platform/filemanager/FileManager.h"

#include <QFile>
#include <QStringList>

#include <optional>

namespace harkwell {

class FakeFileManager final : public FileManager {
public:
    void reveal(const QString& path) override { m_revealed.append(path); }
    std::expected<void, FileManagerError> moveToTrash(const QString& path) override
    {
        m_trashAttempts.append(path);
        if (m_refusal)
            return std::unexpected(FileManagerError{*m_refusal});
        if (!QFile::remove(path))
            return std::unexpected(FileManagerError{QStringLiteral("No such file")});
        return {};
    }

    // Every later trash fails with this text (none: trashing works again).
    void setRefusal(std::optional<QString> text) { m_refusal = std::move(text); }
    const QStringList& revealed() const { return m_revealed; }
    const QStringList& trashAttempts() const { return m_trashAttempts; }

private:
    QStringList m_revealed;
    QStringList m_trashAttempts;
    std::optional<QString> m_refusal;
};

}  // namespace harkwell
