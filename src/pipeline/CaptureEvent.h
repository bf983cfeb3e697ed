#pragma once
// What the capture pipeline reports about one capture: its audio was accepted by the service, its
// transcript was written into its note, or it ended without a transcript (with the job status
// just written into the note).

#include <QMetaType>
#include <QString>

namespace harkwell {

struct CaptureEvent {
    enum class Kind { Sent, TranscriptReady, Failed };

    Kind kind = Kind::Sent;
    QString id;
    // The job status written into the note; only a failure carries one ("upload_failed", "failed",
    // "poll_timeout").
    QString status;

    static CaptureEvent sent(const QString& id) { return {Kind::Sent, id, {}}; }
    static CaptureEvent transcriptReady(const QString& id) { return {Kind::TranscriptReady, id, {}}; }
    static CaptureEvent failed(const QString& id, const QString& status) { return {Kind::Failed, id, status}; }

    bool isSent() const { return kind == Kind::Sent; }
    bool isTranscriptReady() const { return kind == Kind::TranscriptReady; }
    bool isFailed() const { return kind == Kind::Failed; }

    friend bool operator==(const CaptureEvent&, const CaptureEvent&) = default;
};

}  // namespace harkwell

Q_DECLARE_METATYPE(harkwell::CaptureEvent)
