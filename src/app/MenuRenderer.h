#pragma once
// Keeps a QMenu showing the latest menu rows. While a menu is on screen it changes in place: rows
// whose text or state changed are updated and a change of its shape waits until it closes, so an
// open submenu never closes under the pointer. Submenus make their rows when they open. The rows'
// Ctrl shortcuts work while the menu holds the keyboard.

#include "app/MenuRow.h"

#include <QObject>

class QMenu;

namespace harkwell {

class MenuLevel;

class MenuRenderer final : public QObject {
public:
    // The widest a row's text gets before it is shortened in the middle (captions wrap instead).
    static constexpr int kMaxTextWidth = 420;

    explicit MenuRenderer(QMenu* menu, QObject* parent = nullptr);
    ~MenuRenderer() override;

    void render(const MenuRows& rows);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QMenu* m_menu;
    MenuLevel* m_root;
};

}  // namespace harkwell
