#pragma once
// The "Scanning" tab: how often the vault is listed, how many days the menu and the search cover,
// and which file date counts.

#include <QWidget>

namespace harkwell {

struct SettingsEditingCopy;

class ScanningTab final : public QWidget {
    Q_OBJECT
public:
    explicit ScanningTab(SettingsEditingCopy& copy, QWidget* parent = nullptr);
};

}  // namespace harkwell
