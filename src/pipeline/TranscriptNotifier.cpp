#include "pipeline/TranscriptNotifier.h"

#include "foundation/HarkwellLog.h"
#include "foundation/InboxNoteFormat.h"
#include "foundation/Settings.h"
#include "platform/identity/Identity.h"
#include "platform/notifications/Notifications.h"
#include "platform/paths/Paths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QPointer>
#include <QUrl>

#include <algorithm>

namespace harkwell {

namespace {

constexpr char kThreadIdentifier[] = "harkwell.transcripts";
constexpr char kSendAgain[] = "Send it again from Settings > Captures > Upload pending captures.";
const QString kMiddleDot = QStringLiteral(" \u00B7 ");

QString kindLabel(const QString& classification)
{
    if (classification == QLatin1String("meeting_recording"))
        return QStringLiteral("Meeting recording");
    if (classification == QLatin1String("voice_memo"))
        return QStringLiteral("Voice memo");
    return QStringLiteral("Audio");
}

std::optional<QString> durationText(std::optional<int> seconds)
{
    if (!seconds || *seconds < 1)
        return std::nullopt;
    if (*seconds < 60)
        return QStringLiteral("%1 s").arg(*seconds);
    return QStringLiteral("%1 min").arg((qint64(*seconds) + 30) / 60);  // halves round up
}

QString failureReason(const QString& status)
{
    if (status == QLatin1String("upload_failed"))
        return QStringLiteral("the upload failed");
    if (status == QLatin1String("poll_timeout"))
        return QStringLiteral("Mirelon did not finish it in time");
    return QStringLiteral("Mirelon could not transcribe it");
}

template <typename Item>
QString displayName(const Item& item)
{
    return item.title.value_or(item.id);
}

template <typename Item>
QString describe(const Item& item)
{
    QString text = kindLabel(item.classification);
    if (const auto duration = durationText(item.durationSec))
        text += kMiddleDot + *duration;
    return text;
}

template <typename Item>
void removeId(QList<Item>& items, const QString& id)
{
    items.removeIf([&](const Item& item) { return item.id == id; });
}

// The pending flush: waits on the notifier's clock and then flushes, unless the notifier is gone
// or a later report has scheduled another flush in its place.
QCoro::Task<> flushAfter(Clock& clock, std::chrono::milliseconds delay, std::function<void()> flushIfCurrent)
{
    co_await clock.sleep(delay);
    flushIfCurrent();
}

}  // namespace

TranscriptNotifier::TranscriptNotifier(Settings& settings, Clock& clock, Notifications* notifications,
                                       bool hasBundleIdentifier, QObject* parent)
    : QObject(parent),
      m_settings(settings),
      m_clock(clock),
      m_notifications(notifications),
      m_hasBundleIdentifier(hasBundleIdentifier)
{
}

TranscriptNotifier& TranscriptNotifier::shared()
{
    static TranscriptNotifier* notifier = [] {
        auto* made = new TranscriptNotifier(Settings::shared(), Clock::system());
        if (QCoreApplication* app = QCoreApplication::instance())
            made->moveToThread(app->thread());
        return made;
    }();
    return *notifier;
}

std::function<void(const CaptureEvent&)> TranscriptNotifier::captureEventHandler()
{
    return [](const CaptureEvent& event) {
        TranscriptNotifier& notifier = shared();
        QMetaObject::invokeMethod(&notifier, [&notifier, event] { notifier.receive(event); }, Qt::QueuedConnection);
    };
}

QString TranscriptNotifier::vaultRoot() const { return Paths::expandTilde(m_settings.settings().vaultPath); }
QString TranscriptNotifier::inboxFolder() const { return vaultRoot() + QStringLiteral("/_inbox"); }
QString TranscriptNotifier::notePath(const QString& id) const { return inboxFolder() + QLatin1Char('/') + id + QStringLiteral(".md"); }

Notifications& TranscriptNotifier::centre() const
{
    return m_notifications ? *m_notifications : Notifications::current();
}

void TranscriptNotifier::receive(const CaptureEvent& event)
{
    const AppSettings settings = m_settings.settings();
    switch (event.kind) {
    case CaptureEvent::Kind::Sent:
        if (!settings.notifyVoiceMemoSent.value_or(true))
            return;
        removeId(m_sent, event.id);
        m_sent.append(item(event.id, QStringLiteral("sent")));
        break;
    case CaptureEvent::Kind::TranscriptReady:
        if (!settings.notifyTranscriptReady.value_or(true))
            return;
        removeId(m_ready, event.id);
        m_ready.append(item(event.id, QStringLiteral("done")));
        break;
    case CaptureEvent::Kind::Failed:
        if (!settings.notifyTranscriptFailed.value_or(true))
            return;
        removeId(m_failed, event.id);
        m_failed.append(item(event.id, event.status));
        break;
    }

    // A transcript that is ready supersedes any earlier word about the same capture, and a
    // failure supersedes its "sending".
    for (const Item& ready : std::as_const(m_ready))
        removeId(m_failed, ready.id);
    for (const Item& ready : std::as_const(m_ready))
        removeId(m_sent, ready.id);
    for (const Item& failed : std::as_const(m_failed))
        removeId(m_sent, failed.id);

    scheduleFlush();
}

TranscriptNotifier::Item TranscriptNotifier::item(const QString& id, const QString& status) const
{
    Item made{id, std::nullopt, QStringLiteral("voice_memo"), std::nullopt, status, std::nullopt};
    const auto stub = InboxNoteFormat::readFrontmatter(notePath(id));
    if (stub) {
        made.title = stub->title;
        made.classification = stub->classification;
        made.durationSec = stub->audioDurationSec;
        if (status == QLatin1String("sent"))
            made.created = stub->created;
    }
    return made;
}

void TranscriptNotifier::scheduleFlush()
{
    const QDateTime now = m_clock.now();
    if (!m_firstEventAt)
        m_firstEventAt = now;

    const auto sinceFirst = std::chrono::milliseconds(m_firstEventAt->msecsTo(now));
    const auto untilCap = std::chrono::duration_cast<std::chrono::milliseconds>(kMaxDelay) - sinceFirst;
    const auto delay = std::max(std::chrono::milliseconds::zero(),
                                std::min<std::chrono::milliseconds>(kSettleDelay, untilCap));

    const quint64 generation = ++m_flushGeneration;
    m_flushPending = true;
    QPointer<TranscriptNotifier> self(this);
    flushAfter(m_clock, delay, [self, generation] {
        if (self && self->m_flushPending && self->m_flushGeneration == generation)
            self->flush();
    });
}

void TranscriptNotifier::flush()
{
    m_flushPending = false;
    m_firstEventAt.reset();
    const QList<Item> sent = std::exchange(m_sent, {});
    const QList<Item> ready = std::exchange(m_ready, {});
    const QList<Item> failed = std::exchange(m_failed, {});
    if (!sent.isEmpty())
        postSent(sent);
    if (!ready.isEmpty())
        postReady(ready);
    if (!failed.isEmpty())
        postFailed(failed);
}

QString TranscriptNotifier::recordedAt(const QDateTime& created) const
{
    const QLocale locale;
    const QDateTime local = created.toLocalTime();
    const qint64 daysAgo = local.date().daysTo(m_clock.now().toLocalTime().date());
    QString day;
    if (daysAgo == 0)
        day = tr("Today");
    else if (daysAgo == 1)
        day = tr("Yesterday");
    else if (daysAgo == -1)
        day = tr("Tomorrow");
    else
        day = locale.toString(local.date(), QStringLiteral("d MMM yyyy"));
    return tr("%1 at %2").arg(day, locale.toString(local.time(), QLocale::ShortFormat));
}

void TranscriptNotifier::postSent(const QList<Item>& items)
{
    if (items.size() == 1) {
        const Item& item = items.constFirst();
        QString body = kindLabel(item.classification);
        if (item.created)
            body += QStringLiteral(" recorded ") + recordedAt(*item.created);
        if (const auto duration = durationText(item.durationSec))
            body += kMiddleDot + *duration;
        body += QStringLiteral("\nThe transcript follows in a few minutes.");
        post(QStringLiteral("harkwell.transcript.") + item.id, QStringLiteral("Sending to Mirelon"), body,
             {{QStringLiteral("filePath"), notePath(item.id)}});
        return;
    }
    post(QStringLiteral("harkwell.sent.") + items.constLast().id,
         QStringLiteral("Sending %1 voice memos to Mirelon").arg(items.size()),
         QStringLiteral("The transcripts follow over the next minutes."),
         {{QStringLiteral("filePath"), inboxFolder()}});
}

void TranscriptNotifier::postReady(const QList<Item>& items)
{
    if (items.size() == 1) {
        const Item& item = items.constFirst();
        post(QStringLiteral("harkwell.transcript.") + item.id, QStringLiteral("Transcript ready"),
             displayName(item) + QLatin1Char('\n') + describe(item),
             openInfo(notePath(item.id), QStringLiteral("_inbox/") + item.id));
        return;
    }
    QStringList names;
    for (qsizetype i = items.size() - 1; i >= 0 && names.size() < 3; --i)
        names.append(displayName(items.at(i)));
    QString body = names.join(QStringLiteral("; "));
    if (items.size() > 3)
        body += QStringLiteral(" and %1 more").arg(items.size() - 3);
    post(QStringLiteral("harkwell.transcripts.") + items.constLast().id,
         QStringLiteral("%1 transcripts ready").arg(items.size()), body,
         {{QStringLiteral("filePath"), inboxFolder()}});
}

void TranscriptNotifier::postFailed(const QList<Item>& items)
{
    const QMap<QString, QString> payload{{QStringLiteral("action"), QStringLiteral("captureSettings")}};
    if (items.size() == 1) {
        const Item& item = items.constFirst();
        const QString body = displayName(item) + QStringLiteral(" (") + kindLabel(item.classification).toLower()
                             + QStringLiteral("): ") + failureReason(item.status) + QStringLiteral(". ")
                             + QLatin1String(kSendAgain);
        post(QStringLiteral("harkwell.transcript.failed.") + item.id, QStringLiteral("Transcript failed"), body, payload);
        return;
    }
    const QString body = failureReason(items.constLast().status)
                         + QStringLiteral(" for %1 captures. Send them again from Settings > Captures > Upload pending captures.")
                               .arg(items.size());
    post(QStringLiteral("harkwell.transcripts.failed.") + items.constLast().id,
         QStringLiteral("%1 transcripts failed").arg(items.size()), body, payload);
}

QMap<QString, QString> TranscriptNotifier::openInfo(const QString& notePath, const QString& vaultRelative) const
{
    QMap<QString, QString> info{{QStringLiteral("filePath"), notePath}};
    if (!QFileInfo::exists(vaultRoot() + QStringLiteral("/.obsidian")))
        return info;
    // Encoded here, so that "&", "=", "+" or "#" in a vault or note name stay inside their value.
    const auto encode = [](const QString& value) { return QString::fromLatin1(QUrl::toPercentEncoding(value, "/")); };
    const QString query = QStringLiteral("vault=") + encode(m_settings.settings().vaultName) + QStringLiteral("&file=")
                          + encode(vaultRelative);
    QUrl link;
    link.setScheme(QStringLiteral("obsidian"));
    link.setHost(QStringLiteral("open"));
    link.setQuery(query, QUrl::StrictMode);
    if (link.isValid())
        info.insert(QStringLiteral("obsidianLink"), link.toString(QUrl::FullyEncoded));
    return info;
}

void TranscriptNotifier::post(const QString& identifier, const QString& title, const QString& body,
                              const QMap<QString, QString>& payload)
{
    if (!m_hasBundleIdentifier)
        return;

    NotificationRequest request{identifier, title, body, QString::fromLatin1(kThreadIdentifier), payload, true};
    const auto added = [identifier](std::expected<void, NotificationError> result) {
        if (!result)
            HarkwellLog::log(QStringLiteral("[harkwell] notifications: could not post %1: %2").arg(identifier, result.error().text));
    };

    Notifications& notifications = centre();
    switch (notifications.authorization()) {
    case NotificationAuthorization::Authorized:
        notifications.add(request, added);
        return;
    case NotificationAuthorization::NotDetermined:
        notifications.requestAuthorization([&notifications, request, added](bool granted) {
            HarkwellLog::log(QStringLiteral("[harkwell] notifications: permission %1")
                                 .arg(granted ? QStringLiteral("granted") : QStringLiteral("declined")));
            if (granted)
                notifications.add(request, added);
        });
        return;
    case NotificationAuthorization::Denied:
        HarkwellLog::log(QStringLiteral("[harkwell] notifications: off for harkwell; not posting %1").arg(identifier));
        return;
    }
}

void TranscriptNotifier::recordingNotSent(const QString& id, const QString& message)
{
    if (!m_settings.settings().notifyTranscriptFailed.value_or(true))
        return;
    post(QStringLiteral("harkwell.recording.notsent.") + id, QStringLiteral("Recording not sent"), message,
         {{QStringLiteral("action"), QStringLiteral("recorder")}});
}

void TranscriptNotifier::sendTest()
{
    post(QStringLiteral("harkwell.test"), QStringLiteral("Transcript ready"),
         QStringLiteral("This is a test notification from harkwell.\nMeeting recording \u00B7 42 min"),
         {{QStringLiteral("filePath"), inboxFolder()}});
}

bool TranscriptNotifier::notificationsDenied()
{
    if (!m_hasBundleIdentifier)
        return false;
    return centre().authorization() == NotificationAuthorization::Denied;
}

void TranscriptNotifier::openNotificationSettings()
{
    // The desktop keeps no per-application notification pane to open.
    HarkwellLog::log(QStringLiteral("[harkwell] notifications: notification settings for %1 are the desktop's own; nothing to open")
                         .arg(QString::fromLatin1(identity::kBundleIdentifier)));
}

}  // namespace harkwell
