#include "settings/SettingsWindowController.h"

#include "settings/SettingsDialog.h"
#include "settings/SettingsView.h"

#include <QApplication>
#include <QDialog>
#include <QScreen>
#include <QVBoxLayout>

namespace harkwell {

SettingsWindowController::SettingsWindowController(std::optional<SettingsServices> services)
    : m_services(std::move(services))
{
}

SettingsWindowController::~SettingsWindowController()
{
    // The shared controller outlives the application object; its window must not.
    if (QCoreApplication::instance())
        delete m_window.data();
}

SettingsWindowController& SettingsWindowController::shared()
{
    static SettingsWindowController controller;
    return controller;
}

void SettingsWindowController::show()
{
    if (!m_window) {
        SettingsServices services = m_services ? *m_services : SettingsServices::process();
        if (m_hooks)
            services.app = *m_hooks;
        // A dialog, so that Return saves from any field while text editors keep their own Return.
        auto* window = new SettingsDialog;
        window->setWindowTitle(QStringLiteral("harkwell Settings"));
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        if (services.app.accent) {
            QPalette tinted = window->palette();
            tinted.setColor(QPalette::Highlight, *services.app.accent);
            tinted.setColor(QPalette::Link, *services.app.accent);
            window->setPalette(tinted);
        }
        m_view = new SettingsView(std::move(services), window);
        window->setView(m_view);
        layout->addWidget(m_view);
        // Resizable, opening at its usual size but never beyond the screen.
        window->setSizeGripEnabled(true);
        QSize size = window->sizeHint();
        if (const QScreen* screen = window->screen()) {
            size = size.boundedTo(screen->availableGeometry().size() * 0.9).expandedTo(window->minimumSizeHint());
            window->resize(size);
            window->move(screen->availableGeometry().center() - window->rect().center());
        } else {
            window->resize(size);
        }
        m_window = window;
    } else {
        m_view->reloadIfUnedited();
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

SettingsView* SettingsWindowController::view() const { return m_view; }

}  // namespace harkwell
