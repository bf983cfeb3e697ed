#include "app/ContentView.h"

namespace harkwell {

MenuRows ContentView::build(const Inputs& inputs, const Actions& actions)
{
    MenuRows rows;
    if (inputs.recordingAvailable) {
        rows << RecordingMenuSection::rows(inputs.recording, actions.recording);
        rows << MenuRow::separator();
    }

    rows << VaultMenu::submenu(inputs.vault, actions.vault);
    rows << CapturesSection::rows(inputs.captures, actions.captures);

    rows << MenuRow::separator();
    rows << MenuRow::button(QStringLiteral("Search Vault\u2026"), actions.vault.toggleSearch, QKeySequence(Qt::CTRL | Qt::Key_F));
    rows << MenuRow::button(QStringLiteral("Refresh"), actions.refresh, QKeySequence(Qt::CTRL | Qt::Key_R));
    rows << MenuRow::button(QStringLiteral("Settings\u2026"), actions.showSettings, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    rows << MenuRow::button(QStringLiteral("Welcome & guide\u2026"), actions.showWelcome);
    rows << MenuRow::button(QStringLiteral("Quit"), actions.quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    return rows;
}

}  // namespace harkwell
