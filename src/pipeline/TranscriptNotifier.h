#pragma once
// Tells the user what became of their captures: sent to Mirelon, transcript ready, transcript
// failed. The pipeline's reports are gathered into batches (posted 10 s after the last report, at
// most 60 s after the first), and a batch gives one notification per kind. Main thread only.

#include "pipeline/CaptureEvent.h"
#include "platform/clock/Clock.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace harkwell {

class Notifications;
class Settings;

class TranscriptNotifier final : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::seconds kSettleDelay{10};
    static constexpr std::chrono::seconds kMaxDelay{60};

    // notifications: null means the process's current centre, looked up at each post.
    // hasBundleIdentifier: off for a process that is not the application, which posts nothing.
    TranscriptNotifier(Settings& settings, Clock& clock, Notifications* notifications = nullptr,
                       bool hasBundleIdentifier = true, QObject* parent = nullptr);

    static TranscriptNotifier& shared();

    // The pipeline's report callback: safe from any thread, it hands each report to the shared
    // notifier on the main thread.
    static std::function<void(const CaptureEvent&)> captureEventHandler();

    // One report, on the main thread.
    void receive(const CaptureEvent& event);
    // The recorder kept a recording back; posted at once.
    void recordingNotSent(const QString& id, const QString& message);
    // The settings window's sample; posted at once whatever the notify settings say.
    void sendTest();
    // Whether the user has turned Harkwell's notifications off (not merely not asked yet).
    bool notificationsDenied();
    static void openNotificationSettings();

private:
    struct Item {
        QString id;
        std::optional<QString> title;
        QString classification;
        std::optional<int> durationSec;
        QString status;
        std::optional<QDateTime> created;  // sent items only
    };

    Item item(const QString& id, const QString& status) const;
    void scheduleFlush();
    void flush();
    void postSent(const QList<Item>& items);
    void postReady(const QList<Item>& items);
    void postFailed(const QList<Item>& items);
    void post(const QString& identifier, const QString& title, const QString& body, const QMap<QString, QString>& payload);
    QMap<QString, QString> openInfo(const QString& notePath, const QString& vaultRelative) const;
    QString recordedAt(const QDateTime& created) const;

    QString vaultRoot() const;
    QString inboxFolder() const;
    QString notePath(const QString& id) const;
    Notifications& centre() const;

    Settings& m_settings;
    Clock& m_clock;
    Notifications* m_notifications;
    bool m_hasBundleIdentifier;

    QList<Item> m_sent;
    QList<Item> m_ready;
    QList<Item> m_failed;
    std::optional<QDateTime> m_firstEventAt;
    // The scheduled flush is the one whose generation is current; a new report supersedes it.
    quint64 m_flushGeneration = 0;
    bool m_flushPending = false;
};

}  // namespace harkwell
