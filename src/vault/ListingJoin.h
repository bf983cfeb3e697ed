#pragma once
// Where a refresh waits for its listings: settled once every listing has reported or the time is
// up, whichever comes first. Lives on the main thread; listings report from their own threads
// through report(), which is safe after the refresh has stopped waiting.

#include "platform/clock/Clock.h"

#include <QObject>

#include <chrono>
#include <memory>

namespace harkwell {

class ListingJoin final : public QObject {
    Q_OBJECT
public:
    explicit ListingJoin(int listings);

    bool isSettled() const { return m_settled; }

    // From any thread: one listing has finished. Does nothing once the join is gone.
    static void report(const std::weak_ptr<ListingJoin>& join);
    // Settles the join after `limit` on `clock`, unless it has settled or gone by then.
    static void settleAfter(const std::weak_ptr<ListingJoin>& join, Clock& clock, std::chrono::milliseconds limit);

signals:
    void settled();

private:
    void listingFinished();
    void settle();

    int m_pending;
    bool m_settled = false;
};

}  // namespace harkwell
