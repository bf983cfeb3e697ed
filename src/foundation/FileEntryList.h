#pragma once
// Listed files picked out of other lists without copying them: the menu's day lists hold every
// file of a large vault, and an entry is thirty times the size of a pointer. The list keeps the
// lists it points into alive, so its entries live as long as it does. Read-only, but for append(),
// which builds small lists by hand.

#include "foundation/FileEntry.h"

#include <QList>

#include <initializer_list>
#include <iterator>

namespace harkwell {

class FileEntryList {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = FileEntry;
        using difference_type = qsizetype;
        using pointer = const FileEntry*;
        using reference = const FileEntry&;

        const_iterator() = default;
        explicit const_iterator(const FileEntry* const* at) : m_at(at) {}

        reference operator*() const { return **m_at; }
        pointer operator->() const { return *m_at; }
        const_iterator& operator++()
        {
            ++m_at;
            return *this;
        }
        const_iterator operator++(int) { return const_iterator(m_at++); }
        friend bool operator==(const_iterator a, const_iterator b) = default;

    private:
        const FileEntry* const* m_at = nullptr;
    };

    FileEntryList() = default;
    // Every entry of `entries`, in its order.
    FileEntryList(const QList<FileEntry>& entries);  // NOLINT(google-explicit-constructor): stands in for the list
    FileEntryList(std::initializer_list<FileEntry> entries) : FileEntryList(QList<FileEntry>(entries)) {}
    // `entries` point into `sources`' own data (reached through const access, so that no copy
    // detaches from it).
    FileEntryList(QList<QList<FileEntry>> sources, QList<const FileEntry*> entries)
        : m_sources(std::move(sources)), m_entries(std::move(entries))
    {
    }

    qsizetype size() const { return m_entries.size(); }
    bool isEmpty() const { return m_entries.isEmpty(); }
    const FileEntry& at(qsizetype index) const { return *m_entries.at(index); }

    const_iterator begin() const { return const_iterator(m_entries.constData()); }
    const_iterator end() const { return const_iterator(m_entries.constData() + m_entries.size()); }

    // The very same list (a copy of this one, unchanged since).
    bool isSharedWith(const FileEntryList& other) const { return m_entries.isSharedWith(other.m_entries); }

    // A copy of every entry, for the places that keep or change a list of their own.
    QList<FileEntry> toList() const;

    void append(const FileEntry& entry);
    FileEntryList& operator<<(const FileEntry& entry)
    {
        append(entry);
        return *this;
    }

private:
    QList<QList<FileEntry>> m_sources;
    QList<const FileEntry*> m_entries;
};

}  // namespace harkwell
