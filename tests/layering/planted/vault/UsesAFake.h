// Production code that wires a test double.
#include "platform/clock/FakeClock.h"
#include "vault/FileScanner.h"
