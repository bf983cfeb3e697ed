#pragma once
// The "Paths" tab: further folders to scan, the remote mounts' root, and how the menu groups its
// Inbox, Outbox, Handoff and Today sections and how many days it lists. Its three buttons open
// folders of the saved vault at once.

#include <QWidget>

namespace harkwell {

class Settings;
struct SettingsEditingCopy;

class PathsTab final : public QWidget {
    Q_OBJECT
public:
    PathsTab(SettingsEditingCopy& copy, Settings& settings, QWidget* parent = nullptr);

    // `folder` inside the saved vault (not the one being edited), "~" expanded.
    static QUrl vaultFolderUrl(const Settings& settings, const QString& folder);
};

}  // namespace harkwell
