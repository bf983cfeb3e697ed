#pragma once
// The application's two global keys: the search key (Super+Shift+V, Command-Shift-V on a Mac
// keyboard), which shows or hides the search panel, and the quick-record key (Ctrl+Alt+Super+R).
// On Wayland they are asked of the desktop portal, which may bind other keys or none; on X11 they
// are grabbed.
// It decides nothing about what a key does: the application gives it the two actions and says
// when to register. Main thread only.

#include "platform/hotkeys/GlobalKeys.h"

#include <QObject>

#include <expected>
#include <functional>
#include <memory>

namespace harkwell {

class HotkeyManager final : public QObject {
    Q_OBJECT
public:
    // Over the desktop's global keys, made on first use and kept for the process.
    static HotkeyManager& shared();
    // Tests give their own keys.
    explicit HotkeyManager(std::unique_ptr<GlobalKeys> keys, QObject* parent = nullptr);
    ~HotkeyManager() override;

    // Set before registering; run on the main thread at each press.
    std::function<void()> onTrigger;  // the search key
    std::function<void()> onRecord;   // the quick-record key

    // Asks for the search key again at every call. A refusal is silent; the value says why.
    std::expected<void, HotkeyError> registerSearchKey();
    // Drops the quick-record key, then takes it again when `enabled`. A refusal is logged.
    void setRecordHotkey(bool enabled);

    bool isSearchKeyRegistered() const { return m_searchRegistered; }
    bool isRecordKeyRegistered() const { return m_recordRegistered; }

    enum KeyId { kSearchKeyId = 1, kRecordKeyId = 2 };
    static KeyChord searchChord();
    static KeyChord recordChord();

    // The key as windows name it: the desktop's own name for it where it chose the keys, else the
    // chord asked for ("Super+Shift+V").
    QString keyText(KeyId id) const;
    // Why the keys are missing, pointing at the command-line actions; empty while none was refused.
    const QString& unavailableText() const { return m_unavailable; }

signals:
    // The keys' names, or whether they are held, changed.
    void changed();

private:
    void keyPressed(int id);
    void keyRefused(int id, const HotkeyError& error);

    std::unique_ptr<GlobalKeys> m_keys;
    bool m_searchRegistered = false;
    bool m_recordRegistered = false;
    QString m_unavailable;
};

}  // namespace harkwell
