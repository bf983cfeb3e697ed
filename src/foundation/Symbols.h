#pragma once
// The small symbols of the windows (search, folder, record, settings…), drawn by the application
// in one colour so that they read on light and dark palettes at any scale without an icon theme.

#include <QColor>
#include <QIcon>
#include <QString>

namespace harkwell {

class Symbols {
public:
    enum class Kind {
        MagnifyingGlass,
        DeepSearch,  // a page under a magnifying glass
        Eye,         // show hidden (system) files
        ChevronLeft,
        ChevronRight,
        Folder,
        FolderPlus,
        SortByName,
        SortByDate,
        RecordCircle,
        Waveform,
        Tray,  // an inbox tray
        Box,   // an archive box: the vault
        Gear,
    };

    // Drawn afresh at each size and device pixel ratio asked for, so it stays sharp.
    static QIcon icon(Kind kind, const QColor& colour);
    // By the symbol names the windows use ("folder", "gearshape", …); a folder for a name not known.
    static Kind byName(const QString& name);
};

}  // namespace harkwell
