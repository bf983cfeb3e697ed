#pragma once
// One open CAF segment: 32-bit float, little-endian, two interleaved channels. The header is
// rewritten after every write, so a process killed mid-recording leaves a file whose header counts
// every frame that reached the kernel.

#include <QString>

#include <expected>
#include <functional>
#include <memory>

struct sf_private_tag;

namespace harkwell {

class SegmentFile {
public:
    static constexpr int kChannels = 2;

    virtual ~SegmentFile();
    SegmentFile(const SegmentFile&) = delete;
    SegmentFile& operator=(const SegmentFile&) = delete;

    // Creates (or truncates) the file; the error is libsndfile's reason.
    static std::expected<std::unique_ptr<SegmentFile>, QString> create(const QString& path, double sampleRate);

    // Appends interleaved two-channel frames; the error describes why not all of them were written.
    virtual std::expected<void, QString> write(const float* interleaved, qint64 frames);

    const QString& path() const { return m_path; }

protected:
    // For stand-ins that hold no file of their own, such as a test's file that fails on demand.
    explicit SegmentFile(const QString& path);

private:
    SegmentFile(const QString& path, sf_private_tag* handle);

    QString m_path;
    sf_private_tag* m_handle = nullptr;  // closed by the destructor
};

// Opens a segment's file: SegmentFile::create, unless a test puts a failing disk in its place.
using SegmentFileFactory =
    std::function<std::expected<std::unique_ptr<SegmentFile>, QString>(const QString& path, double sampleRate)>;

}  // namespace harkwell
