#pragma once
// Pulls the transcripts the user's Mirelon account already holds into the vault's inbox: every
// listed source that is not deleted and has no note there yet becomes a finished note of its own.
// One object serves one run, started and watched from the settings window, which may cancel it.

#include "foundation/InboxWriter.h"
#include "service/ClientError.h"
#include "service/MirelonClient.h"

#include <QSet>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace harkwell {

class Clock;

class BackfillSync {
public:
    // Where a run stands; the caller words it.
    struct Progress {
        enum class Kind { Listing, Syncing, Finished, Failed };
        Kind kind = Kind::Listing;
        // Syncing: notes written so far out of the sources to fetch, and the title of the one being
        // fetched, when it has one.
        int done = 0;
        int total = 0;
        std::optional<QString> currentTitle;
        // Finished.
        int synced = 0;
        int skipped = 0;
        int failed = 0;
        // Failed: why the account could not be listed.
        std::optional<ClientError> error;

        static Progress listing() { return {}; }
        static Progress syncing(int done, int total, std::optional<QString> currentTitle);
        static Progress finished(int synced, int skipped, int failed);
        static Progress listingFailed(ClientError error);

        friend bool operator==(const Progress&, const Progress&) = default;
    };
    using ProgressHandler = std::function<void(const Progress&)>;

    static constexpr char kNoContentBody[] = "(no transcript content available)";

    // `clock` gives the creation time of a source the service has no time for.
    BackfillSync(MirelonClient client, InboxWriter inboxWriter, Clock& clock);
    BackfillSync(MirelonClient client, InboxWriter inboxWriter);

    // Stops the run before it fetches the next source; it still reports its final counts. One-way.
    void cancel() { m_cancelled = true; }
    bool isCancelled() const { return m_cancelled; }

    // Runs on the main thread and reports there, in order: listing, syncing (once before the first
    // fetch, once before each fetch, once after the last), then finished; or listing, then failed.
    // The object must outlive the run.
    QCoro::Task<> run(ProgressHandler progress);

    // The service keys of the notes standing directly in `inboxFolder` (hidden entries and
    // subfolders left out); an unreadable folder or note adds nothing.
    static QSet<QString> existingExternalIds(const QString& inboxFolder);

private:
    // Nothing when the note is written, else why it was not.
    QCoro::Task<std::optional<QString>> writeNote(SourceDetail detail, SourceMetadata listed);

    MirelonClient m_client;
    InboxWriter m_inboxWriter;
    Clock* m_clock;
    bool m_cancelled = false;  // main thread only
};

}  // namespace harkwell
