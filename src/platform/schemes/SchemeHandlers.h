#pragma once
// Whether the desktop has an application for a link, asked before handing a link over so that a
// caller can fall back to something else when nothing would open it.

#include "platform/childprocess/ProcessRunner.h"

#include <QSet>
#include <QString>
#include <QUrl>

#include <chrono>

namespace harkwell {

class SchemeHandlers {
public:
    virtual ~SchemeHandlers() = default;
    virtual bool hasHandler(const QUrl& url) const = 0;
};

// Files and web links always open; any other scheme needs an x-scheme-handler in the MIME database.
// The lookup runs while a notification click waits, so a lookup that hangs is cut off at `limit`.
class XdgSchemeHandlers final : public SchemeHandlers {
public:
    explicit XdgSchemeHandlers(ProcessRunner& runner = ProcessRunner::system(),
                               std::chrono::milliseconds limit = std::chrono::seconds(5));
    bool hasHandler(const QUrl& url) const override;

private:
    ProcessRunner& m_runner;
    std::chrono::milliseconds m_limit;
};

class FakeSchemeHandlers final : public SchemeHandlers {
public:
    explicit FakeSchemeHandlers(QSet<QString> schemes = {}) : m_schemes(std::move(schemes)) {}
    bool hasHandler(const QUrl& url) const override { return m_schemes.contains(url.scheme()); }

private:
    QSet<QString> m_schemes;
};

}  // namespace harkwell
