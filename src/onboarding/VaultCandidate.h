#pragma once
// One notes vault found on this machine, offered in the welcome window. Committed by its path and
// name; its id (the canonical path) only tells two findings of one folder apart.

#include <QDateTime>
#include <QString>

#include <optional>

namespace harkwell {

struct VaultCandidate {
    enum class Source { ObsidianRegistry, Filesystem };

    QString id;    // canonical path
    QString path;  // as found
    QString name;
    Source source = Source::Filesystem;
    bool hasNookwiseMarkers = false;  // "CLAUDE.md", "_inbox" or "_tasks.yaml" directly inside
    bool hasOutbox = false;
    std::optional<QDateTime> lastOpened;  // from Obsidian's registry only

    bool operator==(const VaultCandidate&) const = default;

    static QString toRawValue(Source source);
    static std::optional<Source> sourceFromRaw(const QString& raw);
};

}  // namespace harkwell
