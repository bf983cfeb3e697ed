#pragma once
// The "Notify" tab: which capture events the user hears of (saved with the window), whether the
// desktop lets harkwell notify at all, and two actions that act at once: the notification
// settings and a test notification.

#include <QWidget>

class QLabel;

namespace harkwell {

struct SettingsEditingCopy;
class TranscriptNotifier;

class NotifyTab final : public QWidget {
    Q_OBJECT
public:
    NotifyTab(SettingsEditingCopy& copy, TranscriptNotifier& notifier, QWidget* parent = nullptr);

    // Asks the notifier again; runs each time the tab comes on screen.
    void refreshPermission();

protected:
    void showEvent(QShowEvent* event) override;

private:
    TranscriptNotifier& m_notifier;
    QLabel* m_permission;
};

}  // namespace harkwell
