#include "onboarding/WelcomeWindowController.h"

#include "platform/dialogs/FolderChooser.h"
#include "onboarding/VaultDetector.h"

#include <QApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace harkwell {

WelcomeWindowController::WelcomeWindowController() : m_detector([] { return VaultDetector::detectAll(); }) {}

WelcomeWindowController::~WelcomeWindowController()
{
    // The shared controller outlives the application object; its window must not.
    if (QCoreApplication::instance())
        delete m_window.data();
}

WelcomeWindowController& WelcomeWindowController::shared()
{
    static WelcomeWindowController controller;
    return controller;
}

void WelcomeWindowController::show()
{
    if (!m_window) {
        auto* window = new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        window->setWindowTitle(QStringLiteral("Welcome to harkwell"));
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        m_view = new WelcomeView([this] { complete(); }, m_detector, m_chooser ? *m_chooser : FolderChooser::dialog(),
                                 m_branding, window);
        layout->addWidget(m_view);
        // Its usual size, but never beyond the screen (a laptop at 150 % has 720 points of height);
        // the list scrolls, and the user may resize the window.
        QSize size = window->sizeHint();
        if (const QScreen* screen = window->screen())
            size = size.boundedTo(screen->availableGeometry().size() * 0.9).expandedTo(window->minimumSizeHint());
        window->resize(size);
        if (const QScreen* screen = window->screen())
            window->move(screen->availableGeometry().center() - window->rect().center());
        m_window = window;
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void WelcomeWindowController::complete()
{
    if (m_window) {
        m_window->close();
        m_window->deleteLater();
    }
    m_window = nullptr;
    m_view = nullptr;
    if (onComplete)
        onComplete();
}

}  // namespace harkwell
