#pragma once
// The confirmation before a recording is thrown away, shared by the recorder panel and the menu.

#include <QString>

#include <functional>

namespace harkwell {

class RecorderUI {
public:
    RecorderUI() = delete;

    static constexpr char kDiscardButton[] = "Discard";
    static constexpr char kKeepButton[] = "Keep";

    // Returns at once; the alert comes up on a later turn of the event loop, and `onConfirm`
    // runs only when the user chooses "Discard" (Return chooses "Keep").
    static void confirmDiscard(const QString& message, const QString& detail, std::function<void()> onConfirm);
};

}  // namespace harkwell
