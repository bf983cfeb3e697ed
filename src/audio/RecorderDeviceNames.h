#pragma once
// The names the recorder gives the devices it makes, so that it knows its own among the system's:
// the microphone list leaves them out and leftover ones are destroyed at launch.

namespace harkwell {

// Every private aggregate device's UID starts with this; a fresh UUID follows.
inline constexpr char kRecorderAggregateUidPrefix[] = "app.harkwell.harkwell.recorder.";
inline constexpr char kRecorderAggregateName[] = "harkwell Recorder";
inline constexpr char kRecorderTapName[] = "harkwell recorder";

}  // namespace harkwell
