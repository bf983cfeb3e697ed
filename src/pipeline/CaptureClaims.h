#pragma once
// The capture ids whose handling is under way in some task, so that one id is carried by one task
// at a time: a new capture, a re-upload and a resumed poll all claim the id first and hold it
// until polling ends.

#include <QHash>
#include <QMutex>
#include <QString>

#include <memory>
#include <optional>

namespace harkwell {

class CaptureClaims {
public:
    // Held while a task carries its id; releases it when destroyed. Move-only, so a claim can pass
    // from the task that took it to the polling task that ends it. A claim may outlive the claims
    // it came from (a task still unwinding after its pipeline went).
    class Claim {
    public:
        Claim() = default;
        Claim(Claim&& other) noexcept;
        Claim& operator=(Claim&& other) noexcept;
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        ~Claim();

        explicit operator bool() const { return m_owner != nullptr; }
        const QString& id() const { return m_id; }
        void release();

    private:
        friend class CaptureClaims;
        struct Held;
        Claim(std::shared_ptr<Held> owner, QString id) : m_owner(std::move(owner)), m_id(std::move(id)) {}
        std::shared_ptr<Held> m_owner;
        QString m_id;
    };

    // An empty claim when the id is already claimed. `source` names the file a new capture comes
    // from (its folder and name), so that another file arriving under the same id is told apart
    // from it, however alike their sizes.
    CaptureClaims();
    Claim claim(const QString& id, std::optional<QString> source = std::nullopt);
    bool isClaimed(const QString& id) const;
    // The source the claimant brought, when it said.
    std::optional<QString> claimedSource(const QString& id) const;

private:
    std::shared_ptr<Claim::Held> m_held;
};

struct CaptureClaims::Claim::Held {
    mutable QMutex lock;  // guards claimed; never held across a suspension or a call out
    QHash<QString, std::optional<QString>> claimed;
};

}  // namespace harkwell
