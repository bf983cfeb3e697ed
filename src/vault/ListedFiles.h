#pragma once
// A listing's files. An incomplete one was cut by its deadline or left a folder it could not read:
// it may miss files that are there, so it never stands in for a fuller list nor goes to the cache.

#include "foundation/FileEntry.h"

#include <QList>

#include <utility>

namespace harkwell {

class ListedFiles : public QList<FileEntry> {
public:
    ListedFiles() = default;
    ListedFiles(QList<FileEntry> entries, bool whole = true) : QList<FileEntry>(std::move(entries)), complete(whole) {}

    bool complete = true;
};

}  // namespace harkwell
