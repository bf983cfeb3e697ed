#pragma once
// The service's API base URL as the window reads it from a text field: a text forms a base URL
// only when it is a complete absolute address; anything else falls back to another choice.

#include <QString>
#include <QUrl>

#include <optional>

namespace harkwell {

class ServiceAddress {
public:
    // A valid absolute URL with a scheme and a host; nothing for an empty or partial text.
    static std::optional<QUrl> parse(const QString& text);
    static QUrl defaultBaseUrl();
    // The pairing's address: the edited text trimmed of blanks when it forms a URL, else the default.
    static QUrl resolvedBaseUrl(const QString& edited);
};

}  // namespace harkwell
