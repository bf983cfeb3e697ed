#pragma once
// Finds the notes vaults already on this machine (Obsidian's registry and a search of the disk),
// and prepares a vault folder for Harkwell: a new vault with its outbox and optional CLAUDE.md
// stub, or the outbox of a vault the user picked.

#include "onboarding/VaultCandidate.h"
#include "platform/childprocess/ProcessRunner.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <expected>

namespace harkwell {

struct VaultError {
    enum class Kind { AlreadyExists, FileSystem };
    Kind kind = Kind::FileSystem;
    QString text;  // user-facing
};

class VaultDetector {
public:
    VaultDetector() = delete;

    // Where to look; the standard places are those of the current home.
    struct Sources {
        QStringList registryFiles;  // read in order; all of them count
        QStringList searchRoots;
        // Runs the listings of the search, each killed at the time limit.
        ProcessRunner* runner = &ProcessRunner::system();
        int searchTimeLimitMs = 5'000;

        static Sources standard();
    };

    // Ranked: most recently opened first, then undated registry vaults by name, then the vaults
    // only the search found, by name. Blocks for the search's time limit at most (the registries'
    // folders are asked under the same deadline), and a little longer while the search's finds
    // are looked at: run it through VaultDetection. Never fails; every candidate's folder existed
    // when it was found, no two share an id.
    static QList<VaultCandidate> detectAll();
    static QList<VaultCandidate> detectAll(const Sources& sources);

    // Each vault's folder is asked by a child process that must answer by `deadline` (by default
    // the search's time limit from now); one that does not is left out.
    static QList<VaultCandidate> fromObsidianRegistry(const QString& registryFile);
    static QList<VaultCandidate> fromObsidianRegistry(const QString& registryFile, std::chrono::steady_clock::time_point deadline,
                                                      ProcessRunner& runner);
    static QList<VaultCandidate> fromFilesystemScan(const Sources& sources);
    // Orders a list as detectAll() does; the sort is stable.
    static void rank(QList<VaultCandidate>& candidates);
    // How long the folders the search found may take to be looked at.
    static constexpr std::chrono::milliseconds kHitProbeLimit{2000};
    // The canonical path, or the path itself when it has none (it does not exist).
    static QString resolveRealPath(const QString& path);

    // Makes <parentDir>/<name> (a leading "~" expanded, missing parents made) with its "_outbox",
    // and the CLAUDE.md stub when asked. Refuses anything already at that path. Returns the path.
    static std::expected<QString, VaultError> createNewVault(const QString& parentDir, const QString& name,
                                                              bool writeClaudeMdStub);
    // Gives the vault an "_outbox" folder when nothing of that name is there; failures are ignored.
    static void ensureOutbox(const QString& vaultPath);

    static QString claudeMdStub(const QString& name);
    // The nookwise toolkit's public code repository.
    static constexpr char kNookwiseRepository[] = "https://nookwise.example/repository";
};

}  // namespace harkwell
