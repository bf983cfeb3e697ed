#pragma once
// The tray menu's rows in a small window of its own, for desktops that show no tray icons: command
// rows are buttons, submenus open as menus from their buttons, status lines and section titles are
// text. It keeps the rows it was last given and makes its widgets afresh for each new set.

#include "app/MenuRow.h"

#include <QWidget>

class QVBoxLayout;

namespace harkwell {

class MenuWindow final : public QWidget {
    Q_OBJECT
public:
    explicit MenuWindow(QWidget* parent = nullptr);

    void render(const MenuRows& rows);
    const MenuRows& rows() const { return m_rows; }

private:
    QWidget* rowWidget(qsizetype index, QWidget* parent);
    static QString buttonText(const MenuRow& row);

    QVBoxLayout* m_layout;
    QWidget* m_content = nullptr;
    MenuRows m_rows;
    QList<QWidget*> m_widgets;  // one per row shown
};

}  // namespace harkwell
