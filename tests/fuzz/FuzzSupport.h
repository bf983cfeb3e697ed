#pragma once
// What every fuzz target shares: a private HOME for the file-backed parsers, file helpers, and a
// check that stops the run with a message when a decoded value breaks a rule.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace harkwell::fuzz {

// A fresh temporary folder as HOME for the whole run, removed at exit. Call before any path is formed.
inline const QString& privateHome()
{
    static const QString home = [] {
        QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/harkwell-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        ::setenv("HOME", pattern.constData(), 1);
        std::atexit([] { QDir(QString::fromLocal8Bit(qgetenv("HOME"))).removeRecursively(); });
        return QString::fromLocal8Bit(pattern);
    }();
    return home;
}

inline QByteArray bytesOf(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
}

// Empty when there is no file.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool fileExists(const QString& path) { return QFile::exists(path); }

inline void removeFile(const QString& path) { QFile::remove(path); }

[[noreturn]] inline void broken(const char* rule, const QByteArray& detail = {})
{
    std::fprintf(stderr, "\n==== rule broken: %s\n%s\n", rule, detail.constData());
    std::abort();
}

#define HARKWELL_FUZZ_CHECK(condition, ...) \
    do {                                    \
        if (!(condition))                   \
            ::harkwell::fuzz::broken(#condition __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

}  // namespace harkwell::fuzz
