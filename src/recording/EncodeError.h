#pragma once
// Why a recording's segments could not be made into AAC parts, as the user reads it.

#include <QString>

namespace harkwell {

struct EncodeError {
    enum class Kind { CannotCreatePart, ConversionFailed, WriteFailed, NoSegments, NoAudio };

    Kind kind = Kind::NoAudio;
    QString subject;  // the part or segment named in the text, or what was being converted
    QString reason;

    static EncodeError cannotCreatePart(QString part, QString reason) { return {Kind::CannotCreatePart, std::move(part), std::move(reason)}; }
    static EncodeError conversionFailed(QString what, QString reason) { return {Kind::ConversionFailed, std::move(what), std::move(reason)}; }
    static EncodeError writeFailed(QString part, QString reason) { return {Kind::WriteFailed, std::move(part), std::move(reason)}; }
    static EncodeError noSegments() { return {Kind::NoSegments, {}, {}}; }
    static EncodeError noAudio() { return {Kind::NoAudio, {}, {}}; }

    QString text() const
    {
        switch (kind) {
        case Kind::CannotCreatePart:
            return QStringLiteral("Could not create ") + subject + QStringLiteral(": ") + reason;
        case Kind::ConversionFailed:
            return QStringLiteral("Could not convert ") + subject + QStringLiteral(": ") + reason;
        case Kind::WriteFailed:
            return QStringLiteral("Could not write ") + subject + QStringLiteral(": ") + reason;
        case Kind::NoSegments:
            return QStringLiteral("The recording has no audio segments.");
        case Kind::NoAudio:
            break;
        }
        return QStringLiteral("The recording contains no readable audio.");
    }

    friend bool operator==(const EncodeError&, const EncodeError&) = default;
};

}  // namespace harkwell
