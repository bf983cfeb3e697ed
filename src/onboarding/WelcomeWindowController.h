#pragma once
// Shows the welcome window: built on the first show(), brought forward by later ones, kept when
// the user closes it, and dropped when the view completes (a vault committed, or the footer
// button), after which onComplete runs and the next show() starts afresh.

#include "onboarding/WelcomeBranding.h"
#include "onboarding/WelcomeView.h"

#include <QPointer>
#include <QWidget>

#include <functional>

namespace harkwell {

class FolderChooser;

class WelcomeWindowController {
public:
    WelcomeWindowController();
    ~WelcomeWindowController();
    WelcomeWindowController(const WelcomeWindowController&) = delete;
    WelcomeWindowController& operator=(const WelcomeWindowController&) = delete;

    static WelcomeWindowController& shared();

    // Main thread. Set onComplete first.
    void show();
    // Runs after a completion has closed the window; stays set for later shows.
    std::function<void()> onComplete;

    QWidget* window() const { return m_window; }
    WelcomeView* view() const { return m_view; }

    // Take effect at the next window built.
    void setBranding(const WelcomeBranding& branding) { m_branding = branding; }
    void setDetector(WelcomeView::Detector detector) { m_detector = std::move(detector); }
    void setFolderChooser(FolderChooser* chooser) { m_chooser = chooser; }

private:
    void complete();

    QPointer<QWidget> m_window;
    QPointer<WelcomeView> m_view;
    WelcomeBranding m_branding;
    WelcomeView::Detector m_detector;
    FolderChooser* m_chooser = nullptr;
};

}  // namespace harkwell
