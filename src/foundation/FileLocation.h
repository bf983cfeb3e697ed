#pragma once
// Where a listed file lives, kept as the folder it was listed under and its path below that
// folder. The folder's text is shared by every file of one listing and the path by the entry's own
// relative path, so a vault of a hundred thousand files does not hold a hundred thousand URLs.
// Reads like the file URL it stands for and converts to one wherever a URL is wanted.

#include <QString>
#include <QUrl>

namespace harkwell {

class FileLocation {
public:
    FileLocation() = default;
    // `relative` empty: `base` is the whole path.
    FileLocation(QString base, QString relative) : m_base(std::move(base)), m_relative(std::move(relative)) {}
    // A local file's URL; any other URL keeps its text as it stands.
    FileLocation(const QUrl& url);  // NOLINT(google-explicit-constructor): stands in for a URL

    // The URL's file, taken apart as a folder and `relative` when its path ends in that.
    static FileLocation below(const QUrl& url, const QString& relative);
    // Shares the folder's text with `other`'s when both have the same folder.
    void shareBase(const FileLocation& other)
    {
        if (m_base == other.m_base)
            m_base = other.m_base;
    }

    QString toLocalFile() const;
    QString path() const { return toLocalFile(); }
    QUrl url() const;
    operator QUrl() const { return url(); }  // NOLINT(google-explicit-constructor)
    QString toString(QUrl::FormattingOptions options = QUrl::PrettyDecoded) const { return url().toString(options); }
    bool isEmpty() const { return m_base.isEmpty() && m_relative.isEmpty() && m_other.isEmpty(); }
    bool isValid() const { return !isEmpty() && (m_other.isEmpty() || m_other.isValid()); }

    // The parts as kept, for a stored form that keeps them apart too.
    const QString& base() const { return m_base; }
    const QString& relative() const { return m_relative; }
    const QUrl& otherUrl() const { return m_other; }

    friend bool operator==(const FileLocation& a, const FileLocation& b);
    friend bool operator==(const FileLocation& a, const QUrl& b) { return a.url() == b; }
    friend bool operator==(const QUrl& a, const FileLocation& b) { return a == b.url(); }

private:
    QString m_base;
    QString m_relative;
    QUrl m_other;  // a URL that is no local file's
};

}  // namespace harkwell
