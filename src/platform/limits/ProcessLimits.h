#pragma once
// What the system lets this process use: descriptors and processors. A desktop session starts
// programs with a soft descriptor limit of 1,024 and a far higher hard one; a program that walks
// large folder trees raises its own, and every part that opens many descriptors at once keeps to
// a share of the limit, so that the rest of the program still finds room.

namespace harkwell {

class ProcessLimits {
public:
    // Once, at start-up: the soft descriptor limit raised to the hard one. Logs nothing; a
    // refusal leaves the limit as it was.
    static void raiseDescriptorLimit();
    // The descriptors one folder walk may hold at once: a quarter of the soft limit, at least 8
    // and at most 512. Any thread.
    static int walkDescriptorBudget();
    // The processors this process may run on (its affinity mask), at least 1. Any thread.
    static int usableProcessors();
};

}  // namespace harkwell
