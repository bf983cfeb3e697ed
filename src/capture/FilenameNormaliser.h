#pragma once
// Capture ids ("yyMMdd-HHmmss" in local time) and the recording moment written in a Voice Memos
// file name ("20240115 143022-3F2A1B.m4a").

#include <QDateTime>
#include <QString>

#include <optional>

namespace harkwell {

class FilenameNormaliser {
public:
    struct Parsed {
        QDateTime timestamp;
        QString hexId;  // the tail after the hyphen, case kept; empty when the name has none
        bool operator==(const Parsed&) const = default;
    };

    // Nothing when the name is not a Voice Memos recording name or holds no valid local date and time.
    static std::optional<Parsed> parse(const QString& fileName);
    static QString canonicalId(const QDateTime& timestamp);

    static constexpr char kPattern[] = R"(^(\d{8})\s+(\d{6})(?:-([A-Fa-f0-9]+))?\.m4a$)";
};

}  // namespace harkwell
