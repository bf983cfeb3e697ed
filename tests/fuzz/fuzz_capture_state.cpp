// state.json, the seen ledger: the strict and the salvaging decoder, their round trip, the
// migration, and what the store does with the file it finds at start.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "capture/CaptureStateMigration.h"
#include "capture/CaptureStateStore.h"
#include "platform/clock/FakeClock.h"

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"version", "seenByFolder", "voiceMemosSeen", "canonicalId", "firstSeen", "voice-memos",
                       ".harkwell-index-done", "folder-1x2y", "a.m4a", "240101-101010"})

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const auto decoded = CaptureStateStore::State::decode(bytes);
    const auto salvaged = CaptureStateStore::State::decodeSkippingInvalid(bytes);
    if (decoded) {
        // A sound file loses nothing to the salvaging reader.
        HARKWELL_FUZZ_CHECK(salvaged && salvaged->skipped == 0 && salvaged->state == *decoded);
        const QByteArray encoded = decoded->encode();
        const auto again = CaptureStateStore::State::decode(encoded);
        HARKWELL_FUZZ_CHECK(again && *again == *decoded, encoded);
        HARKWELL_FUZZ_CHECK(again->encode() == encoded, encoded);
        const auto migrated = CaptureStateMigration::migrate(*decoded);
        HARKWELL_FUZZ_CHECK(migrated.version >= CaptureStateStore::kCurrentVersion);
        HARKWELL_FUZZ_CHECK(CaptureStateMigration::migrate(migrated) == migrated);
    }
    if (salvaged) {
        const auto again = CaptureStateStore::State::decode(salvaged->state.encode());
        HARKWELL_FUZZ_CHECK(again && *again == salvaged->state);
    }

    // The store at start: a file that decodes is taken (and written back only when migrated); one
    // that does not is kept aside byte for byte and the start is flagged.
    const QString folder = privateHome() + QStringLiteral("/state");
    const QString path = folder + QStringLiteral("/state.json");
    QDir(folder).removeRecursively();
    writeFile(path, bytes);
    FakeClock clock;
    CaptureStateStore store(path, folder + QStringLiteral("/absent-legacy.json"), clock);
    if (decoded) {
        const auto migrated = CaptureStateMigration::migrate(*decoded);
        HARKWELL_FUZZ_CHECK(store.snapshot() == migrated);
        HARKWELL_FUZZ_CHECK(!store.startedFromDamagedFile());
        if (migrated.version == decoded->version)
            HARKWELL_FUZZ_CHECK(readFile(path) == bytes);
        store.markSeen(QStringLiteral("new.m4a"), QStringLiteral("260305-140709"), QStringLiteral("f"),
                       QDateTime(QDate(2026, 3, 5), QTime(14, 7, 9), Qt::UTC));
        const auto written = CaptureStateStore::State::decode(readFile(path));
        HARKWELL_FUZZ_CHECK(written && *written == store.snapshot());
        HARKWELL_FUZZ_CHECK(written->entryCount() >= migrated.entryCount());
    } else {
        HARKWELL_FUZZ_CHECK(store.startedFromDamagedFile());
        HARKWELL_FUZZ_CHECK(!fileExists(path));
        HARKWELL_FUZZ_CHECK(readFile(path + QStringLiteral(".invalid")) == bytes);
    }
    return 0;
}
