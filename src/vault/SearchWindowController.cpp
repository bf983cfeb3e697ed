#include "vault/SearchWindowController.h"

#include "foundation/Settings.h"
#include "vault/FileScanner.h"
#include "vault/SearchTextField.h"
#include "vault/SearchView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

namespace harkwell {

SearchWindowController& SearchWindowController::shared()
{
    static SearchWindowController* controller =
        new SearchWindowController(Settings::shared(), &FileScanner::scanAllFiles, SearchFileActions::Services{});
    return *controller;
}

SearchWindowController::SearchWindowController(Settings& settings, SearchIndex::FullListing fullListing,
                                               SearchFileActions::Services services, QObject* parent)
    : QObject(parent), m_settings(settings), m_fullListing(std::move(fullListing)), m_services(std::move(services))
{
}

SearchWindowController::~SearchWindowController()
{
    if (m_monitorInstalled && qApp)
        qApp->removeEventFilter(this);
    delete m_panel.data();
}

void SearchWindowController::show()
{
    if (!m_panel)
        createPanel();
    if (m_index)
        m_index->reset();
    if (QScreen* screen = m_panel->screen() ? m_panel->screen() : QGuiApplication::primaryScreen()) {
        QRect frame = m_panel->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_panel->move(frame.topLeft());
    }
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
    // After the window system has shown the panel, or the focus would not stay.
    QTimer::singleShot(0, this, [self = QPointer<SearchWindowController>(this)] {
        if (self && self->m_panel)
            self->focusTextField();
    });
}

void SearchWindowController::orderOut()
{
    if (m_panel)
        m_panel->hide();
}

void SearchWindowController::createPanel()
{
    auto* panel = new QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint);
    panel->setWindowTitle(QStringLiteral("Search Vault"));
    panel->setAttribute(Qt::WA_DeleteOnClose, false);
    panel->resize(SearchView::kWidth, SearchView::kHeight);
    if (m_tint) {
        QPalette palette = panel->palette();
        palette.setColor(QPalette::Highlight, *m_tint);
        panel->setPalette(palette);
    }
    if (m_scanner) {
        m_index = std::make_unique<SearchIndex>(*m_scanner, m_settings, m_fullListing);
        m_index->setPanelOpen(false);  // until the panel shows
        m_actions = std::make_unique<SearchFileActions>(*m_index, m_settings, m_services);
        auto* layout = new QVBoxLayout(panel);
        layout->setContentsMargins(0, 0, 0, 0);
        m_view = new SearchView(*m_index, *m_actions, m_settings, [this] { orderOut(); }, panel);
        layout->addWidget(m_view);
    }
    m_panel = panel;
    installKeyMonitor();
}

void SearchWindowController::focusTextField()
{
    // In folder mode the header has no field; the keys then reach the panel itself.
    if (m_view && m_view->searchField()->isVisible())
        m_view->searchField()->setFocus(Qt::OtherFocusReason);
}

void SearchWindowController::installKeyMonitor()
{
    qApp->installEventFilter(this);
    m_monitorInstalled = true;
}

bool SearchWindowController::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    // The index works only while the panel is on screen.
    if ((type == QEvent::Show || type == QEvent::Hide) && m_index && m_panel && watched == m_panel.data()) {
        m_index->setPanelOpen(type == QEvent::Show);
        return QObject::eventFilter(watched, event);
    }
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride)
        return QObject::eventFilter(watched, event);
    if (!m_panel || !m_panel->isVisible() || !m_index)
        return false;
    // Only keys meant for the panel: in another window Ctrl+D deletes forward in a text field and
    // must not trash the search's selection.
    const auto* target = qobject_cast<QWidget*>(watched);
    if (!target || target->window() != m_panel)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool control = key->modifiers() & Qt::ControlModifier;
    if (control) {
        static constexpr int kCommands[] = {Qt::Key_D, Qt::Key_F, Qt::Key_M, Qt::Key_P, Qt::Key_S};
        if (std::find(std::begin(kCommands), std::end(kCommands), key->key()) == std::end(kCommands))
            return false;
        // Claimed before any shortcut of whichever window has the focus can take it.
        if (type == QEvent::ShortcutOverride) {
            event->accept();
            return true;
        }
        return handleCommandKey(key->key());
    }
    if (type != QEvent::KeyPress || !m_index->folderPath())
        return false;
    return handleFolderKey(key->key());
}

bool SearchWindowController::handleCommandKey(int key)
{
    switch (key) {
    case Qt::Key_D:
        m_actions->deleteSelected();
        return true;
    case Qt::Key_F:
        m_actions->revealSelected();
        orderOut();
        return true;
    case Qt::Key_M:
        m_actions->mailSelected();
        orderOut();
        return true;
    case Qt::Key_P:
        m_actions->pdfSelected();
        return true;
    case Qt::Key_S:
        m_index->setFolderSortByName(!m_index->folderSortByName());
        return true;
    default:
        return false;
    }
}

bool SearchWindowController::handleFolderKey(int key)
{
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (const auto selected = m_index->selectedFile())
            m_actions->openFile(*selected);
        orderOut();
        return true;
    case Qt::Key_Escape:
    case Qt::Key_Left:
        m_index->exitFolderMode();
        return true;
    case Qt::Key_Right:
        m_index->drillIntoFolder();
        return true;
    case Qt::Key_Down:
        m_index->moveDown();
        return true;
    case Qt::Key_Up:
        m_index->moveUp();
        return true;
    default:
        return false;
    }
}

}  // namespace harkwell
