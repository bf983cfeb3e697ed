#include "vault/ListingJoin.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <qcoro/qcorotask.h>

namespace harkwell {

namespace {

QCoro::Task<> settleLater(std::weak_ptr<ListingJoin> join, Clock& clock, std::chrono::milliseconds limit,
                          void (*settle)(ListingJoin&))
{
    co_await clock.sleep(limit);
    if (const auto alive = join.lock())
        settle(*alive);
}

}  // namespace

ListingJoin::ListingJoin(int listings) : m_pending(listings)
{
    if (m_pending <= 0)
        m_settled = true;
}

void ListingJoin::report(const std::weak_ptr<ListingJoin>& join)
{
    // The application object outlives every refresh; the join itself may be gone by the time this runs.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [join] {
            if (const auto alive = join.lock())
                alive->listingFinished();
        },
        Qt::QueuedConnection);
}

void ListingJoin::settleAfter(const std::weak_ptr<ListingJoin>& join, Clock& clock, std::chrono::milliseconds limit)
{
    settleLater(join, clock, limit, [](ListingJoin& alive) { alive.settle(); });
}

void ListingJoin::listingFinished()
{
    if (--m_pending <= 0)
        settle();
}

void ListingJoin::settle()
{
    if (m_settled)
        return;
    m_settled = true;
    emit settled();
}

}  // namespace harkwell
