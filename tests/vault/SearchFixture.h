#pragma once
// A file scanner over lists the test sets, in a private home, for the search panel's tests: the
// scanner's own refresh cycle publishes them, so the search sees what the menu would see.

#include "foundation/FileEntry.h"
#include "foundation/Settings.h"
#include "platform/clock/FakeClock.h"
#include "support/TempHome.h"
#include "vault/FileScanner.h"
#include "vault/ScanListers.h"

#include <QMutex>
#include <QTest>

#include <memory>

namespace harkwell::test {

class FixtureListers final : public ScanListers {
public:
    Listing vault(const QString&, const QDateTime&, const QSet<QString>&, const QStringList&) override
    {
        QMutexLocker locker(&m_lock);
        return m_vault;
    }
    Listing workspace(const QString&, const QDateTime&, const QSet<QString>&, const QStringList&, const QStringList&) override
    {
        return QList<FileEntry>();
    }
    Listing remotes(const QString&, const QDateTime&, const QSet<QString>&, const QStringList&) override
    {
        return QList<FileEntry>();
    }
    QList<FileEntry> specialFolder(const QString&, const QString& folderName, FileEntry::Source, std::optional<int>,
                                   const QStringList&) override
    {
        QMutexLocker locker(&m_lock);
        if (folderName == QLatin1String("_outbox"))
            return m_outbox;
        if (folderName == QLatin1String("_inbox"))
            return m_inbox;
        return m_handoff;
    }

    void set(QList<FileEntry> vault, QList<FileEntry> outbox = {}, QList<FileEntry> inbox = {},
             QList<FileEntry> handoff = {})
    {
        QMutexLocker locker(&m_lock);
        m_vault = std::move(vault);
        m_outbox = std::move(outbox);
        m_inbox = std::move(inbox);
        m_handoff = std::move(handoff);
    }

private:
    QMutex m_lock;  // guards the lists: listings run on worker threads
    QList<FileEntry> m_vault, m_outbox, m_inbox, m_handoff;
};

// A home with a vault at ~/vault and the settings of that home.
struct SearchHome {
    TempHome home;
    Settings settings{home.path() + QStringLiteral("/settings.json")};
    FakeClock clock{QDateTime(QDate(2026, 3, 4), QTime(12, 0), Qt::LocalTime)};
    std::shared_ptr<FixtureListers> listers = std::make_shared<FixtureListers>();

    SearchHome()
    {
        settings.update([this](AppSettings& values) {
            values.vaultPath = vault();
            values.additionalPaths.clear();
            values.remotesPath.reset();
        });
        home.make(QStringLiteral("vault"));
    }
    QString vault() const { return home.path() + QStringLiteral("/vault"); }

    // A scanner that has finished its first refresh over the lists set so far.
    std::unique_ptr<FileScanner> scanner()
    {
        auto made = std::make_unique<FileScanner>(listers, settings, clock);
        [[maybe_unused]] const bool done = QTest::qWaitFor([&] { return !made->isScanning(); }, 10000);
        return made;
    }
};

// An entry below the vault, as a lister makes it.
inline FileEntry entry(const QString& vault, const QString& relativePath, const QDateTime& modified,
                       FileEntry::Source source = FileEntry::Source::Vault, std::optional<QString> domain = {},
                       std::optional<QString> fileType = {})
{
    FileEntry made;
    made.id = QUuid::createUuid();
    made.relativePath = relativePath;
    made.filename = relativePath.section(QLatin1Char('/'), -1);
    made.parentFolder = relativePath.contains(QLatin1Char('/')) ? relativePath.section(QLatin1Char('/'), -2, -2) : QString();
    made.creationDate = modified;
    made.modificationDate = modified;
    made.size = 1;
    made.fullPath = QUrl::fromLocalFile(vault + QLatin1Char('/') + relativePath);
    made.source = source;
    made.domain = std::move(domain);
    made.fileType = std::move(fileType);
    return made;
}

inline QDateTime at(int day, int hour = 9) { return QDateTime(QDate(2026, 3, day), QTime(hour, 0), Qt::LocalTime); }

inline QStringList names(const QList<FileEntry>& entries)
{
    QStringList result;
    for (const FileEntry& file : entries)
        result.append(file.filename);
    return result;
}

}  // namespace harkwell::test
