#pragma once
// A capture's note frontmatter: the one persisted record of its job (classification, where the
// audio copy lies, the service's job key and the job status). A new record carries the defaults;
// the reader starts from them for every key that is missing or unusable.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace harkwell {

struct InboxFrontmatter {
    QString id;
    QDateTime created = QDateTime::currentDateTimeUtc();
    QString classification = QStringLiteral("voice_memo");
    QString status = QStringLiteral("pending");
    QString confidence = QStringLiteral("high");
    QString sourceType = QStringLiteral("audio");
    QString sourceOrigin = QStringLiteral("voice_memo");
    QString audioPath;  // vault-relative: "_inbox/.audio/<id>.m4a"
    std::optional<int> audioDurationSec;
    QString ingestionTool = QStringLiteral("harkwell-mac");
    std::optional<QString> externalId;  // the service's cache key
    std::optional<QString> mirelonJobStatus;
    std::optional<QDateTime> uploadedAt;
    // When the transcript was first handed to the after-transcript command, so that it runs once
    // for the capture however often the transcript is written; absent in notes from before.
    std::optional<QDateTime> afterTranscriptAt;
    std::optional<QString> recorderSource;
    std::optional<QString> recorderMicrophone;
    std::optional<QString> recorderChannelLayout;
    std::optional<double> recorderLostSeconds;  // audio the server skipped, recorded as silence
    std::optional<QString> targetSkill = QStringLiteral("/transcript");
    std::optional<QString> targetFolder;
    std::optional<QString> title;
    QStringList tags;
    std::optional<QDateTime> processedAt;
    std::optional<QString> processedBy;
    std::optional<QString> outputFile;
    std::optional<QString> archivedTo;

    friend bool operator==(const InboxFrontmatter&, const InboxFrontmatter&) = default;
};

}  // namespace harkwell
