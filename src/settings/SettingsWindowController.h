#pragma once
// Shows the settings window: built on the first show(), kept when the user closes it (with its
// tab; unsaved edits are saved or thrown away on the way out, as the user chooses), and only
// brought forward by later shows.

#include "settings/SettingsServices.h"

#include <QPointer>

#include <optional>

class QDialog;

namespace harkwell {

class SettingsView;

class SettingsWindowController {
public:
    // Without services, the window uses the process's shared instances.
    explicit SettingsWindowController(std::optional<SettingsServices> services = std::nullopt);
    ~SettingsWindowController();
    SettingsWindowController(const SettingsWindowController&) = delete;
    SettingsWindowController& operator=(const SettingsWindowController&) = delete;

    static SettingsWindowController& shared();

    // The application's services; they take effect at the window's creation, so set them first.
    void setAppHooks(SettingsAppHooks hooks) { m_hooks = std::move(hooks); }

    // Main thread only.
    void show();

    QDialog* window() const { return m_window; }
    SettingsView* view() const;

private:
    std::optional<SettingsServices> m_services;
    std::optional<SettingsAppHooks> m_hooks;
    QPointer<QDialog> m_window;
    QPointer<SettingsView> m_view;
};

}  // namespace harkwell
