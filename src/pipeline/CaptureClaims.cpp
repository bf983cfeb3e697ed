#include "pipeline/CaptureClaims.h"

namespace harkwell {

CaptureClaims::Claim::Claim(Claim&& other) noexcept
    : m_owner(std::exchange(other.m_owner, nullptr)), m_id(std::move(other.m_id))
{
}

CaptureClaims::Claim& CaptureClaims::Claim::operator=(Claim&& other) noexcept
{
    if (this != &other) {
        release();
        m_owner = std::exchange(other.m_owner, nullptr);
        m_id = std::move(other.m_id);
    }
    return *this;
}

CaptureClaims::Claim::~Claim() { release(); }

void CaptureClaims::Claim::release()
{
    if (const std::shared_ptr<Held> owner = std::exchange(m_owner, nullptr)) {
        QMutexLocker locker(&owner->lock);
        owner->claimed.remove(m_id);
    }
}

CaptureClaims::CaptureClaims() : m_held(std::make_shared<Claim::Held>()) {}

CaptureClaims::Claim CaptureClaims::claim(const QString& id, std::optional<QString> source)
{
    QMutexLocker locker(&m_held->lock);
    if (m_held->claimed.contains(id))
        return {};
    m_held->claimed.insert(id, std::move(source));
    return Claim(m_held, id);
}

bool CaptureClaims::isClaimed(const QString& id) const
{
    QMutexLocker locker(&m_held->lock);
    return m_held->claimed.contains(id);
}

std::optional<QString> CaptureClaims::claimedSource(const QString& id) const
{
    QMutexLocker locker(&m_held->lock);
    return m_held->claimed.value(id);
}

}  // namespace harkwell
