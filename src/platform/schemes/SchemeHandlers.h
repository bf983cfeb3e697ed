#pragma once
// Whether the desktop has an application for a link, asked before handing a link over so that a
// caller can fall back to something else when nothing would open it.

#include <QSet>
#include <QString>
#include <QUrl>

namespace harkwell {

class SchemeHandlers {
public:
    virtual ~SchemeHandlers() = default;
    virtual bool hasHandler(const QUrl& url) const = 0;
};

// Files and web links always open; any other scheme needs an x-scheme-handler in the MIME database.
class XdgSchemeHandlers final : public SchemeHandlers {
public:
    bool hasHandler(const QUrl& url) const override;
};

class FakeSchemeHandlers final : public SchemeHandlers {
public:
    explicit FakeSchemeHandlers(QSet<QString> schemes = {}) : m_schemes(std::move(schemes)) {}
    bool hasHandler(const QUrl& url) const override { return m_schemes.contains(url.scheme()); }

private:
    QSet<QString> m_schemes;
};

}  // namespace harkwell
