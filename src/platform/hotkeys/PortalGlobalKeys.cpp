#include "platform/hotkeys/PortalGlobalKeys.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>

namespace harkwell {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

// One entry of the portal's a(sa{sv}) shortcut lists.
struct Shortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

}  // namespace

}  // namespace harkwell

Q_DECLARE_METATYPE(harkwell::Shortcut)

namespace harkwell {

PortalGlobalKeys::PortalGlobalKeys(QDBusConnection bus, QObject* parent) : GlobalKeys(parent), m_bus(std::move(bus))
{
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    if (!m_bus.isConnected())
        return;
    // Every request's answer, sorted by its path; presses and changes of the keys for our session.
    m_bus.connect(kService, QString(), kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("ShortcutsChanged"), this,
                  SLOT(onShortcutsChanged(QDBusMessage)));
}

PortalGlobalKeys::~PortalGlobalKeys() { closeSession(); }

QString PortalGlobalKeys::nameOf(int id) { return QStringLiteral("harkwell-%1").arg(id); }

int PortalGlobalKeys::idOf(const QString& name)
{
    bool ok = false;
    const int id = name.startsWith(QLatin1String("harkwell-")) ? name.mid(9).toInt(&ok) : 0;
    return ok ? id : -1;
}

QString PortalGlobalKeys::preferredTrigger(const KeyChord& chord)
{
    QStringList parts;
    if (chord.modifiers & KeyChord::Control)
        parts << QStringLiteral("CTRL");
    if (chord.modifiers & KeyChord::Alt)
        parts << QStringLiteral("ALT");
    if (chord.modifiers & KeyChord::Shift)
        parts << QStringLiteral("SHIFT");
    if (chord.modifiers & KeyChord::Super)
        parts << QStringLiteral("LOGO");
    parts << QString::fromUcs4(&chord.key, 1);
    return parts.join(QLatin1Char('+'));
}

std::expected<void, HotkeyError> PortalGlobalKeys::grab(int id, const KeyChord& chord)
{
    if (!m_bus.isConnected())
        return std::unexpected(HotkeyError{0, QString::fromUtf8(kUnavailableText)});
    m_wanted.insert(id, {chord, m_descriptions.value(id)});
    scheduleBind();
    return {};
}

void PortalGlobalKeys::release(int id)
{
    if (m_wanted.remove(id) == 0)
        return;
    m_triggers.remove(id);
    scheduleBind();
}

void PortalGlobalKeys::describe(int id, const QString& description) { m_descriptions.insert(id, description); }

QString PortalGlobalKeys::triggerText(int id) const { return m_triggers.value(id); }

void PortalGlobalKeys::scheduleBind()
{
    // Both keys asked for in one go bind in one session, and the desktop asks its user once.
    if (m_bindScheduled)
        return;
    m_bindScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_bindScheduled = false;
        bind();
    });
}

void PortalGlobalKeys::closeSession()
{
    if (m_session.isEmpty())
        return;
    m_bus.asyncCall(QDBusMessage::createMethodCall(kService, m_session, kSession, QStringLiteral("Close")));
    m_session.clear();
}

void PortalGlobalKeys::bind()
{
    closeSession();
    const quint64 generation = ++m_generation;
    if (m_wanted.isEmpty()) {
        m_triggers.clear();
        emit triggersChanged();
        return;
    }
    const QString sessionToken = QStringLiteral("harkwell%1").arg(generation);
    request(QStringLiteral("CreateSession"), {}, {{QStringLiteral("session_handle_token"), sessionToken}},
            [this, generation](uint code, const QVariantMap& results) {
                if (generation != m_generation)
                    return;
                const QString session = results.value(QStringLiteral("session_handle")).toString();
                if (code != 0 || session.isEmpty()) {
                    refuseAll(int(code), QString::fromUtf8(kUnavailableText));
                    return;
                }
                m_session = session;
                QList<Shortcut> shortcuts;
                for (auto it = m_wanted.cbegin(); it != m_wanted.cend(); ++it)
                    shortcuts.append({nameOf(it.key()),
                                      {{QStringLiteral("description"), it->description},
                                       {QStringLiteral("preferred_trigger"), preferredTrigger(it->chord)}}});
                request(QStringLiteral("BindShortcuts"),
                        {QVariant::fromValue(QDBusObjectPath(session)), QVariant::fromValue(shortcuts), QString()}, {},
                        [this, generation](uint code, const QVariantMap& results) {
                            if (generation != m_generation)
                                return;
                            if (code != 0) {
                                refuseAll(int(code), QString::fromUtf8(kUnavailableText));
                                return;
                            }
                            readShortcuts(results.value(QStringLiteral("shortcuts")));
                        });
            });
}

void PortalGlobalKeys::request(const QString& method, QVariantList arguments, QVariantMap options,
                               std::function<void(uint, const QVariantMap&)> done)
{
    const QString token = QStringLiteral("harkwell_%1").arg(++m_nextToken);
    options.insert(QStringLiteral("handle_token"), token);
    // The portal answers on a path made of our bus name and the token, known before the call.
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    m_requests.insert(path, std::move(done));

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    arguments.append(options);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, path] {
        watcher->deleteLater();
        if (!watcher->isError())
            return;
        const auto pending = m_requests.take(path);
        if (pending)
            pending(2, {{QStringLiteral("error"), watcher->error().message()}});
    });
}

void PortalGlobalKeys::onResponse(const QDBusMessage& message)
{
    const auto done = m_requests.take(message.path());
    if (!done || message.arguments().size() < 2)
        return;
    const uint code = message.arguments().at(0).toUInt();
    QVariantMap results;
    const QVariant second = message.arguments().at(1);
    if (second.canConvert<QDBusArgument>())
        second.value<QDBusArgument>() >> results;
    else
        results = second.toMap();
    done(code, results);
}

void PortalGlobalKeys::refuseAll(int status, const QString& why)
{
    const QList<int> ids = m_wanted.keys();
    m_wanted.clear();
    m_triggers.clear();
    closeSession();
    for (const int id : ids)
        emit refused(id, HotkeyError{status, why});
    emit triggersChanged();
}

void PortalGlobalKeys::readShortcuts(const QVariant& list)
{
    QList<Shortcut> shortcuts;
    if (list.canConvert<QDBusArgument>())
        list.value<QDBusArgument>() >> shortcuts;
    m_triggers.clear();
    for (const Shortcut& shortcut : std::as_const(shortcuts)) {
        const int id = idOf(shortcut.id);
        if (m_wanted.contains(id))
            m_triggers.insert(id, shortcut.properties.value(QStringLiteral("trigger_description")).toString());
    }
    emit triggersChanged();
}

void PortalGlobalKeys::onActivated(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2 || m_session.isEmpty())
        return;
    if (arguments.at(0).value<QDBusObjectPath>().path() != m_session)
        return;
    const int id = idOf(arguments.at(1).toString());
    if (m_wanted.contains(id))
        emit pressed(id);
}

void PortalGlobalKeys::onShortcutsChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2 || m_session.isEmpty() || arguments.at(0).value<QDBusObjectPath>().path() != m_session)
        return;
    readShortcuts(arguments.at(1));
}

}  // namespace harkwell
