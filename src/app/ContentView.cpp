#include "app/ContentView.h"

namespace harkwell {

MenuRows ContentView::build(const Inputs& inputs, const Actions& actions)
{
    MenuRows rows;
    if (inputs.recordingAvailable) {
        rows << MenuRow::button(QStringLiteral("Record\u2026"), actions.bringRecorderForward);
        rows << MenuRow::separator();
    }

    MenuRows vault;
    vault << MenuRow::submenu(QStringLiteral("Today (%1)").arg(inputs.todayCount),
                              {MenuRow::caption(QStringLiteral("No files created today"))});
    vault << MenuRow::separator();
    vault << MenuRow::button(QStringLiteral("Search Vault..."), actions.toggleSearch);
    rows << MenuRow::submenu(QStringLiteral("Vault"), vault);

    rows << CapturesSection::rows(inputs.captures, actions.captures);

    rows << MenuRow::separator();
    rows << MenuRow::button(QStringLiteral("Search Vault..."), actions.toggleSearch, QKeySequence(Qt::CTRL | Qt::Key_F));
    rows << MenuRow::button(QStringLiteral("Refresh"), actions.refresh, QKeySequence(Qt::CTRL | Qt::Key_R));
    rows << MenuRow::button(QStringLiteral("Settings..."), actions.showSettings, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    rows << MenuRow::button(QStringLiteral("Welcome & guide..."), actions.showWelcome);
    rows << MenuRow::button(QStringLiteral("Quit"), actions.quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    return rows;
}

}  // namespace harkwell
