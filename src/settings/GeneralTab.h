#pragma once
// The "General" tab: the vault's path and name (saved with the window), the help links, the
// version, and the update and login-item controls, which act at once.

#include <QWidget>

#include <optional>

class QCheckBox;
class QLabel;

namespace harkwell {

struct SettingsEditingCopy;
struct SettingsServices;

class GeneralTab final : public QWidget {
    Q_OBJECT
public:
    GeneralTab(SettingsEditingCopy& copy, const SettingsServices& services, QWidget* parent = nullptr);

    // The version as "<version> (<build>)", "?" for a part the build does not carry.
    static QString appVersion();
    static QString updateFooter(const QUrl& productPage);

private:
    void setLaunchAtLogin(bool on);

    const SettingsServices& m_services;
    QCheckBox* m_loginSwitch;
    QLabel* m_loginError;
};

}  // namespace harkwell
