// The earlier watcher's state file, read once when there is no state.json: its names become the
// Voice Memos folder's seen entries, and the file itself is never changed.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "capture/CaptureStateStore.h"
#include "platform/clock/FakeClock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"processed", "a.m4a", "b.m4a", "version", "last_run"})

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QString folder = privateHome() + QStringLiteral("/legacy");
    const QString path = folder + QStringLiteral("/state.json");
    const QString legacy = folder + QStringLiteral("/processed.json");
    QDir(folder).removeRecursively();
    writeFile(legacy, bytes);
    FakeClock clock;
    CaptureStateStore store(path, legacy, clock);

    // The names the file holds when it is the old layout: an object whose "processed" is a list of texts.
    std::optional<QSet<QString>> names;
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (document.isObject() && document.object().value(QStringLiteral("processed")).isArray()) {
        names.emplace();
        for (const QJsonValue& name : document.object().value(QStringLiteral("processed")).toArray()) {
            if (!name.isString()) {
                names.reset();
                break;
            }
            names->insert(name.toString());
        }
    }

    HARKWELL_FUZZ_CHECK(readFile(legacy) == bytes);
    HARKWELL_FUZZ_CHECK(!store.startedFromDamagedFile());
    if (!names) {
        HARKWELL_FUZZ_CHECK(store.snapshot() == CaptureStateStore::State());
        HARKWELL_FUZZ_CHECK(!fileExists(path));
        return 0;
    }
    const auto seen = store.snapshot().seenByFolder.value(QStringLiteral("voice-memos"));
    HARKWELL_FUZZ_CHECK(QSet<QString>(seen.keyBegin(), seen.keyEnd()) == *names);
    for (const QString& name : *names)
        HARKWELL_FUZZ_CHECK(store.hasSeen(name, QStringLiteral("voice-memos")));
    const auto written = CaptureStateStore::State::decode(readFile(path));
    HARKWELL_FUZZ_CHECK(written && *written == store.snapshot());
    return 0;
}
