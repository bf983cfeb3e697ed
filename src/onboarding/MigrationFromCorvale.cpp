#include "onboarding/MigrationFromCorvale.h"

#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "onboarding/MigrationFolders.h"
#include "platform/clock/Clock.h"
#include "platform/defaults/Defaults.h"
#include "platform/files/AtomicFile.h"
#include "platform/identity/Identity.h"
#include "platform/paths/Paths.h"
#include "platform/runningapps/RunningApplications.h"
#include "service/Keychain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <qcoro/qcorotask.h>

#include <chrono>

namespace harkwell {

namespace {

const QString kPrefix = QStringLiteral("[harkwell] migration from Corvale: ");
const QString kEnvNotifiedOld = QStringLiteral("corvale.envNotified.");
const QString kEnvNotifiedNew = QStringLiteral("harkwell.envNotified.");

QString underHome(const QString& relative) { return Paths::home() + QLatin1Char('/') + relative; }

QString predecessorIdentifier() { return QString::fromLatin1(identity::kPredecessorBundleIdentifier); }
QString predecessorKeychainService() { return QString::fromLatin1(identity::kPredecessorKeychainService); }

Defaults predecessorDefaults() { return Defaults(predecessorIdentifier()); }

// Old key → new key in Harkwell's standard defaults.
const QMap<QString, QString>& defaultsKeys()
{
    static const QMap<QString, QString> keys{
        {QStringLiteral("corvale.captureRetry.watermark"), QStringLiteral("harkwell.captureRetry.watermark")},
        {QStringLiteral("NSWindow Frame CorvaleRecorder"), QStringLiteral("NSWindow Frame HarkwellRecorder")},
    };
    return keys;
}

const QStringList& droppedDefaultsKeys()
{
    static const QStringList keys{QStringLiteral("corvale.loginItem.decided")};
    return keys;
}

bool somethingAt(const QString& path)
{
    // A dangling symbolic link is still something left over.
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

bool fileAt(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

}  // namespace

QString MigrationFromCorvale::oldSettings() { return underHome(QStringLiteral(".corvale.json")); }
QString MigrationFromCorvale::oldScanCache() { return underHome(QStringLiteral(".corvale-cache.json")); }
QString MigrationFromCorvale::oldSupport() { return Paths::predecessorSupport(); }
QString MigrationFromCorvale::newSupport() { return Paths::applicationSupport(); }
QString MigrationFromCorvale::oldLogs() { return Paths::predecessorLogs(); }
QString MigrationFromCorvale::newLogs() { return Paths::logsFolder(); }

const QStringList& MigrationFromCorvale::oldKeychainAccounts()
{
    static const QStringList accounts{QStringLiteral("mirelon_device_token"), QStringLiteral("mirelon_username"),
                                      QStringLiteral("mirelon_password")};
    return accounts;
}

void MigrationFromCorvale::log(const QString& message) { HarkwellLog::log(kPrefix + message); }

void MigrationFromCorvale::run() { run(RunningApplications::system(), Clock::system()); }

void MigrationFromCorvale::run(RunningApplications& applications, Clock& clock)
{
    if (!somethingToMigrate())
        return;
    log(QStringLiteral("starting"));

    const bool predecessorGone = stopOldProducer(applications, clock);
    migrateSettings();
    migrateKeychain();
    migrateDefaults();

    if (QFile::remove(oldScanCache()))
        log(QStringLiteral("removed the old scan cache (rebuilt in ~/Library/Caches/harkwell)"));

    if (predecessorGone) {
        MigrationFolders::migrateSupportFolder();
        MigrationFolders::migrateLogs();
    } else {
        log(QStringLiteral("Corvale is still running; state, recordings and logs move at the next launch"));
    }

    log(somethingToMigrate() ? QStringLiteral("partly done, continues at the next launch") : QStringLiteral("done"));
}

bool MigrationFromCorvale::somethingToMigrate()
{
    if (fileAt(oldSettings()) || somethingAt(oldSupport()) || fileAt(oldScanCache()) || somethingAt(oldLogs()))
        return true;
    for (const QString& account : oldKeychainAccounts())
        if (Keychain::read(account, predecessorKeychainService()))
            return true;

    const Defaults suite = predecessorDefaults();
    if (suite.cannotBeOpened())
        return false;
    const QJsonObject values = suite.all();
    for (auto it = defaultsKeys().cbegin(); it != defaultsKeys().cend(); ++it)
        if (values.contains(it.key()))
            return true;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        if (it.key().startsWith(kEnvNotifiedOld))
            return true;
    return false;
}

bool MigrationFromCorvale::stopOldProducer(RunningApplications& applications, Clock& clock)
{
    const QList<RunningProcess> running = applications.instances(predecessorIdentifier());
    if (running.isEmpty())
        return true;

    log(QStringLiteral("asking the running Corvale to quit"));
    for (const RunningProcess& process : running)
        applications.requestQuit(process);

    const auto allGone = [&] {
        for (const RunningProcess& process : running)
            if (!applications.hasTerminated(process))
                return false;
        return true;
    };
    const QDateTime deadline = clock.now().addMSecs(kQuitDeadlineMs);
    while (clock.now() < deadline && !allGone())
        QCoro::waitFor(clock.sleep(std::chrono::milliseconds(kQuitPollMs)));
    return allGone();
}

void MigrationFromCorvale::migrateSettings()
{
    const QString old = oldSettings();
    if (!fileAt(old))
        return;

    const QString target = Settings::fileUrl();
    if (!QFileInfo::exists(target)) {
        QFile file(old);
        QJsonParseError parseError{};
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
        if (!document.isObject()) {
            log(QStringLiteral("~/.corvale.json is unreadable; left in place, defaults used"));
            return;
        }
        const QJsonObject settings = document.object();
        // Settings harkwell cannot read would be set aside at its next save and replaced by the
        // defaults: they stay where they are, and the log says why.
        if (const auto decoded = AppSettings::decode(bytes); !decoded) {
            log(QStringLiteral("~/.corvale.json cannot be read by harkwell (%1); left in place, defaults used")
                    .arg(decoded.error().text));
            return;
        }

        const QString folder = QFileInfo(target).absolutePath();
        if (!QDir().mkpath(folder)) {
            log(QStringLiteral("could not write %1: %2").arg(target, QStringLiteral("The folder %1 could not be created.").arg(folder)));
            return;
        }
        if (const auto written = AtomicFile::write(target, QJsonDocument(settings).toJson(QJsonDocument::Indented)); !written) {
            log(QStringLiteral("could not write %1: %2").arg(target, written.error().text));
            return;
        }
        Settings::shared().load();
        const QJsonValue vault = settings.value(QStringLiteral("vaultPath"));
        log(QStringLiteral("settings moved (vault %1)").arg(vault.isString() ? vault.toString() : QStringLiteral("?")));
    }

    QFile file(old);
    if (file.remove())
        log(QStringLiteral("removed ~/.corvale.json"));
    else
        log(QStringLiteral("could not remove ~/.corvale.json: %1").arg(file.errorString()));
}

void MigrationFromCorvale::migrateKeychain()
{
    const QString oldService = predecessorKeychainService();
    const QString newService = Keychain::deviceTokenService();
    const QString tokenAccount = QString::fromLatin1(Keychain::kDeviceTokenAccount);

    // An empty old token cannot be stored (an empty write deletes), so it is not worth copying;
    // trying would keep all three old items for ever.
    const std::optional<QString> oldToken = Keychain::read(tokenAccount, oldService);
    if (oldToken && !oldToken->isEmpty() && !Keychain::read(tokenAccount, newService)) {
        const bool written = Keychain::write(tokenAccount, *oldToken, newService);
        if (!written || Keychain::read(tokenAccount, newService) != oldToken) {
            log(QStringLiteral("could not copy the device token; the old item is kept"));
            return;
        }
        log(QStringLiteral("device token %1 moved to the harkwell Keychain item").arg(oldToken->left(12)));
    }

    for (const QString& account : oldKeychainAccounts()) {
        if (!Keychain::read(account, oldService))
            continue;
        const bool removed = Keychain::write(account, std::nullopt, oldService);
        log(QStringLiteral("Keychain %1/%2 %3")
                .arg(oldService, account, removed ? QStringLiteral("removed") : QStringLiteral("could not be removed")));
    }
}

void MigrationFromCorvale::migrateDefaults()
{
    Defaults suite = predecessorDefaults();
    if (suite.cannotBeOpened())
        return;

    const QJsonObject values = suite.all();
    QMap<QString, QString> renames = defaultsKeys();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        if (it.key().startsWith(kEnvNotifiedOld))
            renames.insert(it.key(), kEnvNotifiedNew + it.key().mid(kEnvNotifiedOld.size()));

    Defaults standard = Defaults::standard();
    int carried = 0;
    for (auto it = renames.cbegin(); it != renames.cend(); ++it) {
        if (!values.contains(it.key()))
            continue;
        if (!standard.contains(it.value())) {
            standard.setValue(it.value(), values.value(it.key()));
            ++carried;
        }
        suite.remove(it.key());
    }
    for (const QString& key : droppedDefaultsKeys())
        suite.remove(key);

    if (carried > 0)
        log(QStringLiteral("%1 preference%2 carried over (%3)")
                .arg(carried)
                .arg(carried == 1 ? QString() : QStringLiteral("s"), suite.domain()));
}

}  // namespace harkwell
