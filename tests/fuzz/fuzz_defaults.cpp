// A user-defaults file: what the reader makes of it, and that a write never loses what it held.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "platform/defaults/Defaults.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"harkwell.captureRetry.watermark", "harkwell.recorder.lastSource", "harkwell.welcome.shown",
                       "harkwell.migration.done", "harkwell.login.enabled", "2026-03-05T14:07:09.250Z",
                       "2026-03-05T14:07:09.250+05:30", "2026-03-05T14:07:09", "0000-01-01T00:00:00.000Z",
                       "9999-12-31T23:59:59.999-12:00", "10000-01-01T00:00:00.000Z"})

namespace {

// Compared as written: Qt 6.4 finds a parsed text that begins with U+FEFF unequal to the same text
// parsed again, though both hold the same characters.
QByteArray textOf(const QJsonValue& value) { return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    (void)privateHome();
    Defaults defaults(QStringLiteral("org.harkwell.fuzz"));
    removeFile(defaults.keptAsidePath());
    writeFile(defaults.filePath(), bytes);

    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const bool sound = document.isObject();
    HARKWELL_FUZZ_CHECK(defaults.cannotBeOpened() == !sound);
    const QJsonObject before = defaults.all();
    HARKWELL_FUZZ_CHECK(before == (sound ? document.object() : QJsonObject()));
    for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
        // A stored date reads back as itself once stored again.
        if (const auto date = defaults.dateValue(it.key())) {
            HARKWELL_FUZZ_CHECK(date->isValid());
            defaults.setDate(QStringLiteral("fuzz.date"), *date);
            const auto again = defaults.dateValue(QStringLiteral("fuzz.date"));
            HARKWELL_FUZZ_CHECK(again && *again == *date, it.value().toString().toUtf8());
            break;
        }
    }

    // A write keeps every other key of a sound file, and keeps a damaged one aside whole.
    defaults.setBool(QStringLiteral("fuzz.flag"), true);
    QJsonObject expected = sound ? document.object() : QJsonObject();
    const QJsonObject after = defaults.all();
    HARKWELL_FUZZ_CHECK(after.value(QStringLiteral("fuzz.flag")) == QJsonValue(true));
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        if (it.key() != QLatin1String("fuzz.flag") && it.key() != QLatin1String("fuzz.date"))
            HARKWELL_FUZZ_CHECK(textOf(after.value(it.key())) == textOf(it.value()), it.key().toUtf8());
    if (!sound)
        HARKWELL_FUZZ_CHECK(readFile(defaults.keptAsidePath()) == bytes);
    return 0;
}
