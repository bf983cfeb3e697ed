#pragma once
// Global keys through the desktop portal's GlobalShortcuts interface, the way in on Wayland, where
// no program may grab keys itself: the keys are asked for by name with a description and a
// preferred trigger, the desktop (or its user) decides the actual keys, and presses arrive as
// Activated signals. Every change of the keys wanted binds them all again in a fresh session, since
// a session binds once. Answers come later: a grab that the desktop turns down is reported by
// refused(). Main thread only.

#include "platform/hotkeys/GlobalKeys.h"

#include <QDBusConnection>
#include <QMap>

#include <functional>

class QDBusMessage;

namespace harkwell {

class PortalGlobalKeys final : public GlobalKeys {
    Q_OBJECT
public:
    // Said for every key when no portal offers global keys, or the desktop turned them down.
    static constexpr const char* kUnavailableText =
        "This desktop gives Harkwell no global keyboard shortcuts. Bind \"harkwell --search\" and "
        "\"harkwell --record\" to keys in your desktop's keyboard settings instead.";

    explicit PortalGlobalKeys(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~PortalGlobalKeys() override;

    std::expected<void, HotkeyError> grab(int id, const KeyChord& chord) override;
    void release(int id) override;
    void describe(int id, const QString& description) override;
    QString triggerText(int id) const override;

    // The portal's spelling of a chord: "LOGO+SHIFT+v".
    static QString preferredTrigger(const KeyChord& chord);

private slots:
    void onResponse(const QDBusMessage& message);
    void onActivated(const QDBusMessage& message);
    void onShortcutsChanged(const QDBusMessage& message);

private:
    struct Wanted {
        KeyChord chord;
        QString description;
    };

    void scheduleBind();
    void bind();
    void closeSession();
    // Sends `method` with a fresh request token in `options`; `done` gets the Response's code and results.
    void request(const QString& method, QVariantList arguments, QVariantMap options,
                 std::function<void(uint, const QVariantMap&)> done);
    void refuseAll(int status, const QString& why);
    void readShortcuts(const QVariant& list);
    static QString nameOf(int id);
    static int idOf(const QString& name);

    QDBusConnection m_bus;
    QMap<int, Wanted> m_wanted;
    QMap<int, QString> m_descriptions;
    QMap<int, QString> m_triggers;  // as the desktop shows them, for the keys bound now
    QString m_session;              // the session whose keys are live; empty when none
    quint64 m_generation = 0;       // which bind an answer belongs to
    bool m_bindScheduled = false;
    QMap<QString, std::function<void(uint, const QVariantMap&)>> m_requests;  // by request path
    int m_nextToken = 0;
};

}  // namespace harkwell
