#include "vault/HotkeyManager.h"

#include "foundation/HarkwellLog.h"
#include "foundation/HotkeyNames.h"
#include "platform/hotkeys/PortalGlobalKeys.h"
#include "platform/hotkeys/XcbGlobalKeys.h"

#include <QGuiApplication>

namespace harkwell {

HotkeyManager& HotkeyManager::shared()
{
    static HotkeyManager* manager = [] {
        // A Wayland client cannot grab keys, and an X11 grab under Xwayland sees only the keys that
        // reach Xwayland's windows: Wayland sessions ask the portal.
        const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland")) ||
                             qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
        std::unique_ptr<GlobalKeys> keys;
        if (wayland)
            keys = std::make_unique<PortalGlobalKeys>();
        else
            keys = std::make_unique<XcbGlobalKeys>();
        auto* made = new HotkeyManager(std::move(keys));
        // The process's keys are the ones its windows name.
        QObject::connect(made, &HotkeyManager::changed, made, [made] {
            HotkeyNames::shared().set(made->keyText(kSearchKeyId), made->keyText(kRecordKeyId),
                                      made->unavailableText().isEmpty());
        });
        return made;
    }();
    return *manager;
}

HotkeyManager::HotkeyManager(std::unique_ptr<GlobalKeys> keys, QObject* parent)
    : QObject(parent), m_keys(std::move(keys))
{
    connect(m_keys.get(), &GlobalKeys::pressed, this, &HotkeyManager::keyPressed);
    connect(m_keys.get(), &GlobalKeys::refused, this, &HotkeyManager::keyRefused);
    connect(m_keys.get(), &GlobalKeys::triggersChanged, this, &HotkeyManager::changed);
    m_keys->describe(kSearchKeyId, QStringLiteral("Show or hide the vault search"));
    m_keys->describe(kRecordKeyId, QStringLiteral("Start a quick recording"));
}

HotkeyManager::~HotkeyManager() = default;

KeyChord HotkeyManager::searchChord() { return {KeyChord::Super | KeyChord::Shift, U'v'}; }

KeyChord HotkeyManager::recordChord() { return {KeyChord::Control | KeyChord::Alt | KeyChord::Super, U'r'}; }

QString HotkeyManager::keyText(KeyId id) const
{
    const QString desktops = m_keys->triggerText(id);
    if (!desktops.isEmpty())
        return desktops;
    return id == kRecordKeyId ? QStringLiteral("Ctrl+Alt+Super+R") : QStringLiteral("Super+Shift+V");
}

std::expected<void, HotkeyError> HotkeyManager::registerSearchKey()
{
    auto grabbed = m_keys->grab(kSearchKeyId, searchChord());
    const bool was = m_searchRegistered;
    m_searchRegistered = grabbed.has_value();
    if (grabbed)
        m_unavailable.clear();
    else
        m_unavailable = grabbed.error().text;
    if (was != m_searchRegistered)
        emit changed();
    return grabbed;
}

void HotkeyManager::setRecordHotkey(bool enabled)
{
    if (m_recordRegistered) {
        m_keys->release(kRecordKeyId);
        m_recordRegistered = false;
    }
    if (!enabled)
        return;
    const auto grabbed = m_keys->grab(kRecordKeyId, recordChord());
    if (!grabbed) {
        HarkwellLog::log(QStringLiteral("[harkwell] recorder: could not register the quick-record key (%1); another app may use it")
                             .arg(grabbed.error().status));
        m_unavailable = grabbed.error().text;
        emit changed();
        return;
    }
    m_recordRegistered = true;
    emit changed();
}

void HotkeyManager::keyRefused(int id, const HotkeyError& error)
{
    HarkwellLog::log(QStringLiteral("[harkwell] hotkeys: the desktop did not give key %1 (%2): %3")
                         .arg(id)
                         .arg(error.status)
                         .arg(error.text));
    if (id == kSearchKeyId)
        m_searchRegistered = false;
    else if (id == kRecordKeyId)
        m_recordRegistered = false;
    m_unavailable = error.text;
    emit changed();
}

void HotkeyManager::keyPressed(int id)
{
    // Any id but the quick-record key's is the search key's, as an event whose id cannot be read.
    const std::function<void()>& action = id == kRecordKeyId ? onRecord : onTrigger;
    if (action)
        action();
}

}  // namespace harkwell
