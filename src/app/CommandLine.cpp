#include "app/CommandLine.h"

#include "platform/identity/Identity.h"

namespace harkwell {

namespace {

constexpr AppAction kFlagActions[] = {AppAction::Search, AppAction::Record, AppAction::Settings, AppAction::Menu,
                                      AppAction::Quit};

CommandLine invalid(const QString& text)
{
    CommandLine result;
    result.mode = CommandLine::Mode::Invalid;
    result.error = text + QStringLiteral("\nTry 'harkwell --help' for more information.");
    return result;
}

}  // namespace

CommandLine CommandLine::parse(const QStringList& arguments)
{
    CommandLine result;
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            return CommandLine{Mode::Help, std::nullopt, {}};
        if (argument == QLatin1String("--version"))
            return CommandLine{Mode::Version, std::nullopt, {}};
        if (!argument.startsWith(QLatin1String("--")))
            continue;
        std::optional<AppAction> action;
        for (const AppAction candidate : kFlagActions)
            if (argument.mid(2) == AppActions::name(candidate))
                action = candidate;
        if (!action)
            return invalid(QStringLiteral("harkwell: unrecognised option '%1'").arg(argument));
        if (result.action && result.action != action)
            return invalid(QStringLiteral("harkwell: one action at a time"));
        result.action = action;
    }
    return result;
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: harkwell [OPTION]\n"
        "Turns spoken audio into markdown notes in your notes vault, from the tray.\n"
        "\n"
        "Without an option, starts Harkwell, or shows the menu of the one already running.\n"
        "Each action is done by the running Harkwell, which is started first if need be.\n"
        "\n"
        "  --search     show or hide the vault search panel\n"
        "  --record     start a recording, or bring the one under way forward\n"
        "  --settings   open the settings window\n"
        "  --menu       show the menu\n"
        "  --quit       quit the running Harkwell\n"
        "  --help       print this help and exit\n"
        "  --version    print the version and exit\n");
}

QString CommandLine::versionText()
{
    return QStringLiteral("%1 %2 (build %3)\n")
        .arg(QLatin1String(identity::kApplicationName), QLatin1String(identity::kVersion),
             QLatin1String(identity::kBuildNumber));
}

}  // namespace harkwell
