#pragma once
// What `harkwell` was asked on its command line: to print its help or version and exit, to start
// (or wake the running instance), or to have the running instance do one action.

#include "app/AppAction.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace harkwell {

struct CommandLine {
    enum class Mode { Run, Help, Version, Invalid };

    Mode mode = Mode::Run;
    // Set for --search, --record, --settings, --menu and --quit.
    std::optional<AppAction> action;
    QString error;  // user-facing, for Invalid

    // The arguments after the program's name. Options of Qt's own (-platform, -display, …) are
    // left to Qt.
    static CommandLine parse(const QStringList& arguments);
    static QString helpText();
    static QString versionText();
};

}  // namespace harkwell
