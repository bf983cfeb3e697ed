#pragma once
// Why a stored record could not be read back: a missing key, a value of the wrong type, an
// unknown raw value. One text, naming the key, for the log or the user.

#include <QString>

namespace harkwell {

struct DecodeError {
    QString text;
};

}  // namespace harkwell
