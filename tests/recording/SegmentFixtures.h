#pragma once
// Segment files as the recorder leaves them, written at test time: tones and silences of given
// lengths, 32-bit float CAF through libsndfile, at any rate and channel count.

#include <QList>
#include <QString>

#include <optional>

namespace harkwell::test {

// One stretch of a segment: a 480 Hz sine of `amplitude` (0 for digital silence) lasting `seconds`.
// Every whole second of a segment holds the same samples, so their energies are exactly equal.
struct Stretch {
    double seconds = 0;
    float amplitude = 0;
};

// Writes the stretches one after the other; false when libsndfile refuses.
bool writeSegment(const QString& path, const QList<Stretch>& stretches, int sampleRate = 48000, int channels = 2);

// What ffprobe says of an audio file; none when it cannot read it.
struct Probe {
    QString codec;
    int sampleRate = 0;
    int channels = 0;
    double duration = 0;
    QString majorBrand;  // of the container, "" when it has none
};
std::optional<Probe> ffprobe(const QString& path);

}  // namespace harkwell::test
