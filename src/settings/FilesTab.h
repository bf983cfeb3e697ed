#pragma once
// The "Files" tab: the extensions the vault scanner lists, the folders it skips, and the
// bookkeeping files hidden from the menu and the search, each as one comma-separated line.

#include <QWidget>

namespace harkwell {

struct SettingsEditingCopy;

class FilesTab final : public QWidget {
    Q_OBJECT
public:
    explicit FilesTab(SettingsEditingCopy& copy, QWidget* parent = nullptr);
};

}  // namespace harkwell
