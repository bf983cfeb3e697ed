#pragma once
// Turns menu rows into the actions and submenus of a QMenu, replacing what it held.

#include "app/MenuRow.h"

class QMenu;

namespace harkwell {

class MenuRenderer {
public:
    static void render(const MenuRows& rows, QMenu* menu);
};

}  // namespace harkwell
