#include "vault/HotkeyManager.h"

#include "foundation/HarkwellLog.h"
#include "platform/hotkeys/XcbGlobalKeys.h"

namespace harkwell {

HotkeyManager& HotkeyManager::shared()
{
    static HotkeyManager* manager = new HotkeyManager(std::make_unique<XcbGlobalKeys>());
    return *manager;
}

HotkeyManager::HotkeyManager(std::unique_ptr<GlobalKeys> keys, QObject* parent)
    : QObject(parent), m_keys(std::move(keys))
{
    connect(m_keys.get(), &GlobalKeys::pressed, this, &HotkeyManager::keyPressed);
}

HotkeyManager::~HotkeyManager() = default;

KeyChord HotkeyManager::searchChord() { return {KeyChord::Super | KeyChord::Shift, U'v'}; }

KeyChord HotkeyManager::recordChord() { return {KeyChord::Control | KeyChord::Alt | KeyChord::Super, U'r'}; }

std::expected<void, HotkeyError> HotkeyManager::registerSearchKey()
{
    auto grabbed = m_keys->grab(kSearchKeyId, searchChord());
    m_searchRegistered = grabbed.has_value();
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
        return;
    }
    m_recordRegistered = true;
}

void HotkeyManager::keyPressed(int id)
{
    // Any id but the quick-record key's is the search key's, as an event whose id cannot be read.
    const std::function<void()>& action = id == kRecordKeyId ? onRecord : onTrigger;
    if (action)
        action();
}

}  // namespace harkwell
