#pragma once
// Moves what is left of the predecessor, Corvale, into Harkwell's places at every launch: its
// settings file, Keychain items, user defaults, support folder (seen ledger, recordings) and logs.
// It keeps no record of having run; whatever it could not move yet is tried again next time, and
// nothing Harkwell already has is ever overwritten.

#include <QString>
#include <QStringList>

namespace harkwell {

class Clock;
class RunningApplications;

class MigrationFromCorvale {
public:
    MigrationFromCorvale() = delete;

    // The launch step: synchronous, on the main thread, before any window; never fails.
    static void run();
    // The same with the running-application lookup and the clock of the quit wait put in place.
    static void run(RunningApplications& applications, Clock& clock);

    // The predecessor's places, under the current home.
    static QString oldSettings();
    static QString oldScanCache();
    static QString oldSupport();
    static QString newSupport();
    static QString oldLogs();
    static QString newLogs();
    static const QStringList& oldKeychainAccounts();

    // Each line is "[harkwell] migration from Corvale: " and the message, to the system log and
    // the log file.
    static void log(const QString& message);

    static constexpr int kQuitDeadlineMs = 10'000;
    static constexpr int kQuitPollMs = 200;

private:
    static bool somethingToMigrate();
    static bool stopOldProducer(RunningApplications& applications, Clock& clock);
    static void migrateSettings();
    static void migrateKeychain();
    static void migrateDefaults();
};

}  // namespace harkwell
