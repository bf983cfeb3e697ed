#pragma once
// What the last listing of one folder tree found, so that the next one costs what changed: the
// walk's memory of each folder, and each listed file's entry with the times it was built from. A
// file whose times have not moved keeps its entry (its id too); when nothing at all changed the
// listing hands back the very list it gave last time. One listing at a time uses it: a listing
// that finds it busy (an earlier one still running) lists without it.

#include "foundation/FileEntry.h"
#include "platform/walk/TreeWalk.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <mutex>

namespace harkwell {

class ListingMemory {
public:
    std::mutex busy;  // held by the listing that uses the fields below

    QString root;  // the tree these fields describe; another root starts afresh
    WalkMemory walk;
    QList<FileEntry> entries;  // the last listing's result, in the order of its walk's files
    qsizetype rebuilt = 0;  // entries the last listing had to build anew
    QStringList unreadable;  // the folders the last listing could not read, as its log named them

    void forget()
    {
        walk.clear();
        entries.clear();
        rebuilt = 0;
        unreadable.clear();
    }
};

}  // namespace harkwell
