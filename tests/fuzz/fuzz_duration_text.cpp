// The playing-time text of an audio probe's output ("<seconds> sec" on some line).
#include "FuzzSupport.h"

#include "capture/CaptureGuards.h"

#include <QRegularExpression>

#include <cmath>

using namespace harkwell;
using namespace harkwell::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(bytesOf(data, size));
    const auto seconds = CaptureGuards::parseDuration(text);
    if (!seconds)
        return 0;
    HARKWELL_FUZZ_CHECK(std::isfinite(*seconds), text.toUtf8());
    // The text it read is on a line of the input, followed by " sec".
    HARKWELL_FUZZ_CHECK(text.contains(QStringLiteral(" sec")), text.toUtf8());
    return 0;
}
