#pragma once
// Moves the files an earlier build kept under ~/Library to where they belong now, one file at a
// time: a source goes only once its copy is in place under its final name, so a move cut short at
// any point loses nothing and the next start carries on where it stopped.

#include "platform/paths/Paths.h"

#include <QList>
#include <QSet>
#include <QStringList>

namespace harkwell {

class LayoutMove {
public:
    struct Outcome {
        int moved = 0;
        // One line each for the log: what was kept where it was, and why.
        QStringList kept;
    };

    // Runs on whatever thread starts the application, before anything reads the files.
    static Outcome run(const QList<Paths::Relocation>& relocations);

private:
    // `elsewhere`: files of a folder being moved that have a place of their own.
    static void moveEntry(const QString& from, const QString& to, const QSet<QString>& elsewhere, Outcome& outcome);
    static void moveFile(const QString& from, const QString& to, Outcome& outcome);
};

}  // namespace harkwell
