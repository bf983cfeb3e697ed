// Encodes one second of a tone into an AAC part at the path given and prints the duration the
// codecs probe back from it. The install test runs a copy of it from an installed tree, where the
// codec module is found the way the installed binary finds it.

#include "platform/media/AacFileWriter.h"
#include "platform/media/MediaCodecs.h"

#include <QFile>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

int main(int argc, char* argv[])
{
    using namespace harkwell;
    if (argc != 2) {
        std::fputs("usage: codec_check FILE.m4a\n", stderr);
        return 2;
    }
    constexpr int kRate = 48000;
    std::vector<float> tone(kRate);
    for (int i = 0; i < kRate; ++i)
        tone[i] = 0.25f * float(std::sin(2 * std::numbers::pi * 440.0 * i / kRate));
    const float* channels[] = {tone.data()};

    auto writer = AacFileWriter::create(QFile::decodeName(argv[1]), kRate, 1, 64000);
    if (!writer) {
        std::fprintf(stderr, "%s\n", qPrintable(writer.error()));
        return 1;
    }
    if (!(*writer)->write(channels, kRate) || !(*writer)->close()) {
        std::fputs("the part could not be written\n", stderr);
        return 1;
    }
    const auto codecs = MediaCodecs::load();
    const auto seconds = codecs ? (*codecs)->duration(QByteArray(argv[1])) : std::nullopt;
    if (!seconds) {
        std::fputs("no duration\n", stderr);
        return 1;
    }
    std::printf("%.2f\n", *seconds);
    return 0;
}
