#pragma once
// Key combinations that reach the application whichever window, of whichever program, has the
// keyboard: the desktop hands each press of a taken combination to us and to no one else.

#include <QObject>
#include <QString>

#include <expected>

namespace harkwell {

// One key with the modifiers held down with it. The Mac's Command key is Super here.
struct KeyChord {
    enum Modifier : unsigned { Shift = 1u << 0, Control = 1u << 1, Alt = 1u << 2, Super = 1u << 3 };

    unsigned modifiers = 0;
    char32_t key = 0;  // the key's symbol in the window system's terms; for a letter, its lower case

    friend bool operator==(const KeyChord&, const KeyChord&) = default;
};

struct HotkeyError {
    int status = 0;  // the window system's own error number, for the log
    QString text;    // user-facing
};

class GlobalKeys : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~GlobalKeys() override = default;

    // Takes `chord` for the whole desktop under `id`; whatever `id` held before is given back
    // first. Fails when the desktop has no global keys or another program holds the chord.
    virtual std::expected<void, HotkeyError> grab(int id, const KeyChord& chord) = 0;
    // Gives the chord held under `id` back; nothing when it holds none.
    virtual void release(int id) = 0;

    // What the key under `id` does, for desktops that list the keys they give out. Before grab.
    virtual void describe(int id, const QString& description)
    {
        Q_UNUSED(id);
        Q_UNUSED(description);
    }
    // The keys under `id` as the desktop shows them, where the desktop chooses them; empty when
    // the chord asked for is the one held.
    virtual QString triggerText(int id) const
    {
        Q_UNUSED(id);
        return {};
    }

signals:
    // On the main thread, once per press of a taken chord.
    void pressed(int id);
    // A desktop that answers later turned down a grab that had seemed to go through.
    void refused(int id, const HotkeyError& error);
    // The desktop's names for the keys changed (triggerText).
    void triggersChanged();
};

}  // namespace harkwell
