#pragma once
// Audio files made at test time.

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>

#include <optional>

namespace harkwell::test {

// 16-bit mono PCM at 8 kHz, enough for any demuxer to know its length: silent, or, with a marker,
// samples drawn from it, so that recordings of one length made with other markers differ.
inline QByteArray wav(double seconds, std::optional<int> marker = std::nullopt)
{
    const quint32 samples = quint32(seconds * 8000);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + samples * 2);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(8000) << quint32(16000) << quint16(2) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(samples * 2);
    if (!marker) {
        bytes.append(QByteArray(int(samples * 2), '\0'));
        return bytes;
    }
    for (quint32 i = 0; i < samples; ++i)
        out << qint16((i * 7 + quint32(*marker) * 131) % 2000 - 1000);
    return bytes;
}

}  // namespace harkwell::test
