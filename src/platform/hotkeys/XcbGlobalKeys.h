#pragma once
// Global keys on X11: passive key grabs on the root window over a connection of our own, so they
// work whatever Qt's own platform is. Each chord is grabbed four times over, with and without
// NumLock and CapsLock, because X counts the lock keys as modifiers and a plain grab would
// miss every press made while one of them is on.

#include "platform/hotkeys/GlobalKeys.h"

#include <QByteArray>
#include <QMap>

#include <cstdint>
#include <optional>

struct xcb_connection_t;
class QSocketNotifier;

namespace harkwell {

class XcbGlobalKeys final : public GlobalKeys {
    Q_OBJECT
public:
    // `display` as in $DISPLAY; empty means there is no X server to ask.
    explicit XcbGlobalKeys(const QByteArray& display = qgetenv("DISPLAY"), QObject* parent = nullptr);
    ~XcbGlobalKeys() override;

    std::expected<void, HotkeyError> grab(int id, const KeyChord& chord) override;
    void release(int id) override;

    bool isConnected() const { return m_connection != nullptr; }

private:
    struct Grab {
        std::uint8_t keycode = 0;
        std::uint16_t mask = 0;
    };

    void readModifierKeys();
    std::optional<std::uint8_t> keycodeFor(std::uint32_t keysym) const;
    std::uint16_t maskFor(unsigned modifiers) const;
    QList<std::uint16_t> lockVariants() const;
    void ungrab(const Grab& grab);
    void readEvents();

    xcb_connection_t* m_connection = nullptr;
    int m_connectionError = 0;
    std::uint32_t m_root = 0;
    QSocketNotifier* m_notifier = nullptr;
    QMap<int, Grab> m_grabs;

    // The keyboard mapping, read once at connection.
    std::uint8_t m_minKeycode = 0;
    int m_keysymsPerKeycode = 0;
    QList<std::uint32_t> m_keysyms;
    std::uint16_t m_superMask = 0;
    std::uint16_t m_altMask = 0;
    std::uint16_t m_numLockMask = 0;
};

}  // namespace harkwell
