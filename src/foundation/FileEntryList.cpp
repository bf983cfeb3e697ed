#include "foundation/FileEntryList.h"

namespace harkwell {

FileEntryList::FileEntryList(const QList<FileEntry>& entries) : m_sources{entries}
{
    m_entries.reserve(entries.size());
    for (const FileEntry& entry : std::as_const(m_sources.constFirst()))
        m_entries.append(&entry);
}

QList<FileEntry> FileEntryList::toList() const
{
    QList<FileEntry> copy;
    copy.reserve(size());
    for (const FileEntry& entry : *this)
        copy.append(entry);
    return copy;
}

void FileEntryList::append(const FileEntry& entry)
{
    // A source of its own, whose data stays where it is however the outer list grows.
    m_sources.append(QList<FileEntry>{entry});
    m_entries.append(&m_sources.constLast().constFirst());
}

}  // namespace harkwell
