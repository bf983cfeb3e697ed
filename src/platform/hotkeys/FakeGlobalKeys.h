#pragma once
// Global keys without a desktop: records what is held, refuses chords on request, and presses a
// held chord when the test says so.

#include "platform/hotkeys/GlobalKeys.h"

#include <QList>
#include <QMap>

#include <optional>

namespace harkwell {

class FakeGlobalKeys final : public GlobalKeys {
    Q_OBJECT
public:
    using GlobalKeys::GlobalKeys;

    std::expected<void, HotkeyError> grab(int id, const KeyChord& chord) override
    {
        release(id);
        ++m_grabCalls;
        for (const auto& [taken, error] : m_refused)
            if (taken == chord)
                return std::unexpected(error);
        m_held.insert(id, chord);
        return {};
    }
    void release(int id) override
    {
        if (m_held.remove(id) > 0)
            ++m_releases;
    }

    // Later grabs of `chord` fail with `error`, as when another program holds it.
    void refuse(const KeyChord& chord, HotkeyError error) { m_refused.append({chord, std::move(error)}); }
    // A press of whatever is held under `id`; a press of an id that holds nothing reaches no one.
    void press(int id)
    {
        if (m_held.contains(id))
            emit pressed(id);
    }
    // The desktop's event for an id it never gave out.
    void pressUnknown(int id) { emit pressed(id); }

    const QMap<int, KeyChord>& held() const { return m_held; }
    int grabCalls() const { return m_grabCalls; }
    int releases() const { return m_releases; }

private:
    QMap<int, KeyChord> m_held;
    QList<std::pair<KeyChord, HotkeyError>> m_refused;
    int m_grabCalls = 0;
    int m_releases = 0;
};

}  // namespace harkwell
