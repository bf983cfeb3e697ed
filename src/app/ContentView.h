#pragma once
// The whole tray menu as rows, top to bottom: the record rows, the "Vault" submenu, the "Captures"
// section, then the command rows. Built afresh each time the menu opens; it keeps nothing.

#include "app/CapturesSection.h"
#include "app/MenuRow.h"

#include <functional>

namespace harkwell {

class ContentView {
public:
    struct Inputs {
        bool recordingAvailable = true;  // the record rows need a system-audio capture backend
        qint64 todayCount = 0;
        CapturesSection::Inputs captures;
    };

    struct Actions {
        std::function<void()> bringRecorderForward;
        std::function<void()> toggleSearch;
        std::function<void()> refresh;
        std::function<void()> showSettings;
        std::function<void()> showWelcome;
        std::function<void()> quit;
        CapturesSection::Actions captures;
    };

    static MenuRows build(const Inputs& inputs, const Actions& actions);
};

}  // namespace harkwell
