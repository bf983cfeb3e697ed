#pragma once
// A laptop on the simulated audio system: built-in speakers (the default output) and a built-in
// one-channel microphone (the default input), each with its own tone, and helpers that start apps
// playing. Tests add the devices and faults their case needs on top.

#include "platform/audiohal/SimulatedAudioHardware.h"

namespace harkwell::test {

class SimulatedAudioRig {
public:
    static constexpr char kSpeakersUid[] = "BuiltInSpeakerDevice";
    static constexpr char kSpeakersName[] = "MacBook Pro Speakers";
    static constexpr char kMicrophoneUid[] = "BuiltInMicrophoneDevice";
    static constexpr char kMicrophoneName[] = "MacBook Pro Microphone";

    SimulatedAudioRig()
    {
        SimulatedAudioHardware::Device speakers;
        speakers.uid = QString::fromLatin1(kSpeakersUid);
        speakers.name = QString::fromLatin1(kSpeakersName);
        speakers.outputBuffers = {2};
        speakers.dataSource = AudioDataSource::kInternalSpeaker;
        speakers.latencyFrames = 480;
        speakers.bufferFrameSize = 512;
        this->speakers = hal.addDevice(speakers);

        SimulatedAudioHardware::Device microphone;
        microphone.uid = QString::fromLatin1(kMicrophoneUid);
        microphone.name = QString::fromLatin1(kMicrophoneName);
        microphone.inputBuffers = {1};
        microphone.input = {{300, 0.25f}};
        this->microphone = hal.addDevice(microphone);

        hal.setDefaultOutput(speakers.uid);
        hal.setDefaultInput(microphone.uid);
    }

    // A running application with one audio process; returns the process object.
    AudioObjectId addApp(const QString& bundleId, const QString& name, qint64 pid, bool playing,
                         SimulatedAudioHardware::Tone left = {440, 0.2f}, SimulatedAudioHardware::Tone right = {660, 0.1f})
    {
        hal.addRunningApplication({pid, bundleId, name, QString()});
        return hal.addProcess({pid, bundleId, playing, left, right});
    }

    SimulatedAudioHardware hal;
    AudioObjectId speakers = 0;
    AudioObjectId microphone = 0;
};

}  // namespace harkwell::test
