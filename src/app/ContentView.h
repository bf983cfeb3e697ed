#pragma once
// The whole tray menu as rows, top to bottom: the record rows, the "Vault" submenu, the "Captures"
// section, then the command rows. Built afresh each time the menu opens; it keeps nothing.

#include "app/CapturesSection.h"
#include "app/MenuRow.h"
#include "app/RecordingMenuSection.h"
#include "app/VaultMenu.h"

#include <functional>

namespace harkwell {

class ContentView {
public:
    struct Inputs {
        bool recordingAvailable = true;  // the record rows need a system-audio capture backend
        RecordingMenuSection::Inputs recording;
        VaultMenu::Inputs vault;
        CapturesSection::Inputs captures;
    };

    struct Actions {
        RecordingMenuSection::Actions recording;
        VaultMenu::Actions vault;  // its toggleSearch is the command row's too
        std::function<void()> refresh;
        std::function<void()> showSettings;
        std::function<void()> showWelcome;
        std::function<void()> quit;
        CapturesSection::Actions captures;
    };

    static MenuRows build(const Inputs& inputs, const Actions& actions);
};

}  // namespace harkwell
