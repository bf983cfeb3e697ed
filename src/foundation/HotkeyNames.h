#pragma once
// What windows call the two global keys: the desktop's own names where it chose the keys, the
// chords asked for until it says, and the command-line actions where no keys could be had. The
// application's hot-key manager keeps it current; windows read it when they are built. Main thread.

#include <QObject>
#include <QString>

namespace harkwell {

class HotkeyNames final : public QObject {
    Q_OBJECT
public:
    static HotkeyNames& shared();

    // "Super+Shift+V", the desktop's name for the search key, or "harkwell --search".
    QString search() const { return m_available ? m_search : QStringLiteral("harkwell --search"); }
    // "Ctrl+Alt+Super+R", the desktop's name for the quick-record key, or "harkwell --record".
    QString record() const { return m_available ? m_record : QStringLiteral("harkwell --record"); }
    bool available() const { return m_available; }

    void set(const QString& search, const QString& record, bool available);

signals:
    void changed();

private:
    QString m_search = QStringLiteral("Super+Shift+V");
    QString m_record = QStringLiteral("Ctrl+Alt+Super+R");
    bool m_available = true;
};

}  // namespace harkwell
