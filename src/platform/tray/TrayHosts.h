#pragma once
// Whether a panel on this desktop shows tray icons, and word when one starts later: a
// StatusNotifierWatcher on the session bus (Plasma, most panels, GNOME with the AppIndicator
// extension), or an XEmbed tray manager on X11. Qt asks once per process and keeps that first
// answer, so its tray icon is made only once this says a panel is there.

#include <QByteArray>
#include <QObject>

#include <optional>

class QDBusServiceWatcher;

namespace harkwell {

class TrayHosts final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";

    // `display` as in $DISPLAY; empty means there is no X server to ask. Main thread.
    explicit TrayHosts(const QByteArray& display = qgetenv("DISPLAY"), QObject* parent = nullptr);

    // Nothing until the session bus has answered; then whether a panel is there.
    std::optional<bool> present() const { return m_present; }

signals:
    // Once, when the first answer is in.
    void answered(bool present);
    // A StatusNotifierWatcher took its name after an answer of "none".
    void appeared();

private:
    static bool xembedTray(const QByteArray& display);
    void answer(bool watcher);

    bool m_xembed = false;
    std::optional<bool> m_present;
    QDBusServiceWatcher* m_watcher = nullptr;
};

}  // namespace harkwell
