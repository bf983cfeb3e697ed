#pragma once
// The confirmation before a recording is thrown away, shared by the recorder panel and the menu.

#include <QString>

class QWidget;

#include <functional>

namespace harkwell {

class RecorderUI {
public:
    RecorderUI() = delete;

    static constexpr char kDiscardButton[] = "Discard";
    static constexpr char kKeepButton[] = "Keep";
    static constexpr char kTitle[] = "Discard Recording";

    // Returns at once; the alert comes up on a later turn of the event loop, and `onConfirm`
    // runs only when the user chooses "Discard" (Return chooses "Keep"). Over `window` it blocks
    // that window alone; without one (the menu's offer) it stays above the app's floating panels
    // and blocks nothing, so no panel can hide a question that holds the app.
    static void confirmDiscard(QWidget* window, const QString& message, const QString& detail,
                               std::function<void()> onConfirm);
};

}  // namespace harkwell
