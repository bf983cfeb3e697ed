#pragma once
// The settings window's frame. Leaving it (Escape, the close button, Cancel) never keeps edits
// out of sight: with none it just closes; with some it asks to save them, throw them away, or stay.

#include <QDialog>

namespace harkwell {

class SettingsView;

class SettingsDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr char kQuestion[] = "Save your changes to the settings?";
    static constexpr char kSave[] = "Save";
    static constexpr char kDiscard[] = "Discard";
    static constexpr char kCancel[] = "Cancel";

    explicit SettingsDialog(QWidget* parent = nullptr);
    void setView(SettingsView* view) { m_view = view; }

    // Main thread only.
    void reject() override;

private:
    SettingsView* m_view = nullptr;
};

}  // namespace harkwell
