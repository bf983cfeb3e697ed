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
    if (CaptureClaims* owner = std::exchange(m_owner, nullptr))
        owner->release(m_id);
}

CaptureClaims::Claim CaptureClaims::claim(const QString& id, std::optional<QString> source)
{
    QMutexLocker locker(&m_lock);
    if (m_claimed.contains(id))
        return {};
    m_claimed.insert(id, std::move(source));
    return Claim(this, id);
}

bool CaptureClaims::isClaimed(const QString& id) const
{
    QMutexLocker locker(&m_lock);
    return m_claimed.contains(id);
}

std::optional<QString> CaptureClaims::claimedSource(const QString& id) const
{
    QMutexLocker locker(&m_lock);
    return m_claimed.value(id);
}

void CaptureClaims::release(const QString& id)
{
    QMutexLocker locker(&m_lock);
    m_claimed.remove(id);
}

}  // namespace harkwell
