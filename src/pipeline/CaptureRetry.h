#pragma once
// Uploads again the inbox captures whose upload never happened or led to no transcript, one after
// the other with a pause between them, reporting its progress; and lists inbox captures by their
// job status for it and for the pipeline's resume. Notes created before the retry watermark (the
// first launch) are left alone, except recordings.

#include "foundation/InboxFrontmatter.h"

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

namespace harkwell {

class CapturePipeline;
class Clock;
class Settings;

class CaptureRetry final : public QObject {
    Q_OBJECT
public:
    struct Progress {
        enum class Kind { Scanning, Uploading, Finished, Failed };
        Kind kind = Kind::Scanning;
        int done = 0;
        int total = 0;
        QString currentId;
        int uploaded = 0;
        int skipped = 0;
        int failed = 0;
        QString error;  // a case the settings window can show; a run never reports it

        static Progress scanning() { return {}; }
        static Progress uploading(int done, int total, QString currentId);
        static Progress finished(int uploaded, int skipped, int failed);
        friend bool operator==(const Progress&, const Progress&) = default;
    };
    using Predicate = std::function<bool(const InboxFrontmatter&)>;

    static constexpr char kWatermarkKey[] = "harkwell.captureRetry.watermark";
    static constexpr std::chrono::seconds kGapBetweenUploads{2};

    // The pipeline's uploadExisting does the uploads; the vault is read from the settings afresh.
    CaptureRetry(CapturePipeline& pipeline, Settings& settings, Clock& clock, QObject* parent = nullptr);

    // Fixed at its first read (the first launch) and never moved afterwards; after a damaged
    // defaults file, the date its text still holds, or else the earliest date.
    static QDateTime retryWatermark(Clock& clock);
    static bool isRetryable(const InboxFrontmatter& note);
    // Ids of the vault's inbox notes the predicate accepts, created at or after the watermark (or
    // made by the recorder), whose audio copy exists; in ascending order.
    static QStringList ids(const QString& vaultRoot, const Predicate& accept, Clock& clock);
    QStringList pendingIds() const;

    bool isRunning() const { return m_running; }
    // One retry pass. `onProgress` is called on this object's thread, in order, after each report.
    QCoro::Task<> run(std::function<void(const Progress&)> onProgress);
    // Ends the run after the upload under way; a pause in progress ends at once.
    void cancel();

signals:
    void cancelled();

private:
    static std::optional<QDateTime> watermarkIn(const QString& damagedFile);
    QString vaultRoot() const;
    QCoro::Task<> pause();

    CapturePipeline& m_pipeline;
    Settings& m_settings;
    Clock& m_clock;
    bool m_running = false;
    bool m_cancelled = false;
};

}  // namespace harkwell
