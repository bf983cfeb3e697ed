#pragma once
// The three labels every listed file carries: the day written at the start of its name
// ("260115-…" or "2026-01-15-…"), a domain from its folder path and a meeting type from its name.
// Worked out afresh at every listing; safe to call from any thread.

#include <QDateTime>
#include <QHash>
#include <QString>

#include <optional>

namespace harkwell {

class FileClassifier {
public:
    struct Classification {
        std::optional<QDateTime> filenameDate;  // that day at 00:00 local time
        std::optional<QString> domain;          // only with a filenameDate
        std::optional<QString> fileType;        // only with a filenameDate

        friend bool operator==(const Classification&, const Classification&) = default;
    };

    // The start of each local day asked for, worked out once: finding it reads the system's time
    // zone, which a listing of many files named by a few hundred days would otherwise do per file.
    // For one listing on one thread.
    class DayStarts {
    public:
        QDateTime of(const QDate& date);

    private:
        QHash<qint64, QDateTime> m_starts;  // by Julian day
    };

    static Classification classify(const QString& filename, const QString& relativePath);
    static Classification classify(const QString& filename, const QString& relativePath, DayStarts& days);
    // The date of the name's prefix: six digits (yyMMdd, years of this century) or yyyy-MM-dd,
    // followed directly by "-". Digits that are no valid day give nothing.
    static std::optional<QDateTime> parseFilenameDate(const QString& filename);
    static std::optional<QDateTime> parseFilenameDate(const QString& filename, DayStarts& days);

private:
    // `foldedName` is `filename` folded, used where the path ends in `filename`.
    static std::optional<QString> classifyDomain(const QString& relativePath, const QString& foldedName, QStringView filename);
    static std::optional<QString> classifyType(const QString& foldedName);
};

}  // namespace harkwell
