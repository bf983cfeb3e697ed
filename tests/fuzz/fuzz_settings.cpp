// settings.json: the decoder, its round trip, and what Settings does with the file it read.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "foundation/AppSettings.h"
#include "foundation/Settings.h"

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"vaultPath", "vaultName", "additionalPaths", "remotesPath", "refreshInterval", "recentDays",
                       "searchDays", "timeBasis", "maxFiles", "includeExtensions", "excludeDirs", "excludeFilePatterns",
                       "captureVoiceMemosEnabled", "captureMirelonEnabled", "mirelonBaseURL", "keepVoiceMemosRunning",
                       "watchedFoldersRaw", "inboxGroupThreshold", "outboxGroupThreshold", "handoffGroupThreshold",
                       "todayGroupThreshold", "menuDayLimit", "recordingSource", "recordingIncludeMicrophone",
                       "recordingMicrophoneUID", "recordingConsentReminder", "recordingConsentText",
                       "recordingAutoStopMinutes", "recordingShowWindow", "notifyTranscriptReady",
                       "notifyTranscriptFailed", "notifyVoiceMemoSent", "recordingQuickKey",
                       "recordingEchoCancellation", "afterTranscriptCommand", "modification", "creation", "either",
                       "automatic", "on", "off", "allAudio", "app", "bundleID", "name", "id", "path", "enabled",
                       "displayName", "extensions", "normaliser", "none", "voiceMemos", "m4a", "wav"})

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = privateHome() + QStringLiteral("/settings.json");
    const QByteArray bytes = bytesOf(data, size);
    const auto decoded = AppSettings::decode(bytes);
    if (decoded) {
        // What is written reads back as the same record, and writing that gives the same bytes.
        const QByteArray encoded = decoded->encode();
        const auto again = AppSettings::decode(encoded);
        HARKWELL_FUZZ_CHECK(again, encoded);
        HARKWELL_FUZZ_CHECK(*again == *decoded, encoded);
        HARKWELL_FUZZ_CHECK(again->encode() == encoded, encoded);
    }

    // The file as the user left it: a save never loses it. One that decodes is replaced by its own
    // record; one that does not is kept aside whole and the in-code defaults stay in use.
    removeFile(path);
    removeFile(path + QStringLiteral(".invalid"));
    writeFile(path, bytes);
    Settings settings(path, AtomicFile::Durability::Unsynced);
    HARKWELL_FUZZ_CHECK(settings.settings() == (decoded ? *decoded : AppSettings()));
    HARKWELL_FUZZ_CHECK(settings.save());
    if (decoded) {
        HARKWELL_FUZZ_CHECK(!fileExists(path + QStringLiteral(".invalid")));
        const auto written = AppSettings::decode(readFile(path));
        HARKWELL_FUZZ_CHECK(written && *written == *decoded);
    } else {
        HARKWELL_FUZZ_CHECK(readFile(path + QStringLiteral(".invalid")) == bytes);
    }
    return 0;
}
