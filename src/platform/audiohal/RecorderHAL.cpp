#include "platform/audiohal/RecorderHAL.h"

namespace harkwell {

QString RecorderHAL::Failure::text() const
{
    return operation + QStringLiteral(" failed: ") + describe(status);
}

std::optional<QString> RecorderHAL::fourCC(quint32 code)
{
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const quint32 byte = (code >> shift) & 0xff;
        if (byte < 0x20 || byte > 0x7e)
            return std::nullopt;
        text.append(QChar(char16_t(byte)));
    }
    return text;
}

std::optional<QString> RecorderHAL::plainWords(HalStatus status)
{
    if (status == HalError::kNotRunning)
        return QStringLiteral("No PipeWire audio server is running; start it and press Record again.");
    return std::nullopt;
}

QString RecorderHAL::describe(HalStatus status)
{
    if (const auto text = fourCC(quint32(status)))
        return QStringLiteral("'%1' (%2)").arg(*text, QString::number(status));
    return QString::number(status);
}

QString RecorderHAL::propertyText(AudioProperty property)
{
    return fourCC(quint32(property)).value_or(QString::number(quint32(property)));
}

RecorderHAL::Failure RecorderHAL::readFailure(AudioObjectId object, AudioProperty property, HalStatus status)
{
    return {QStringLiteral("Reading '%1' of audio object %2").arg(propertyText(property)).arg(object), status};
}

std::optional<QString> RecorderHAL::string(AudioObjectId object, AudioProperty property, AudioScope scope)
{
    Result<QString> value = readString(object, property, scope);
    if (!value || value->isNull())
        return std::nullopt;
    return *value;
}

QList<AudioObjectId> RecorderHAL::objectIds(AudioObjectId object, AudioProperty property, AudioScope scope)
{
    return readObjectList(object, property, scope).value_or(QList<AudioObjectId>{});
}

QList<int> RecorderHAL::channelsPerBuffer(AudioObjectId device, AudioScope scope)
{
    return readStreamConfiguration(device, scope).value_or(QList<int>{});
}

std::optional<AudioObjectId> RecorderHAL::deviceId(const QString& uid)
{
    for (AudioObjectId device : objectIds(kSystemObject, AudioProperty::Devices)) {
        if (string(device, AudioProperty::DeviceUid) == uid)
            return device;
    }
    return std::nullopt;
}

std::expected<quint32, RecorderHAL::Failure> RecorderHAL::checkedUInt32(AudioObjectId object, AudioProperty property,
                                                                      AudioScope scope)
{
    Result<quint32> value = readUInt32(object, property, scope);
    if (!value)
        return std::unexpected(readFailure(object, property, value.error()));
    return *value;
}

std::expected<double, RecorderHAL::Failure> RecorderHAL::checkedFloat64(AudioObjectId object, AudioProperty property,
                                                                      AudioScope scope)
{
    Result<double> value = readFloat64(object, property, scope);
    if (!value)
        return std::unexpected(readFailure(object, property, value.error()));
    return *value;
}

}  // namespace harkwell
