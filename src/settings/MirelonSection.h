#pragma once
// The Captures tab's "Mirelon" section: pairing this computer with the service (connect, the code
// to check, cancel, disconnect, all at once) and the service's base URL, which waits for Save but
// is already used by a pairing started before it.

#include <QWidget>

class QVBoxLayout;

namespace harkwell {

class MirelonAuth;
struct SettingsEditingCopy;

class MirelonSection final : public QWidget {
    Q_OBJECT
public:
    MirelonSection(SettingsEditingCopy& copy, MirelonAuth& auth, QWidget* parent = nullptr);

    static QString footer();

private:
    void showState();
    void connectToService();

    SettingsEditingCopy& m_copy;
    MirelonAuth& m_auth;
    QWidget* m_stateArea;
    QVBoxLayout* m_stateLayout;
};

}  // namespace harkwell
