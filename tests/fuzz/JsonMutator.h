#pragma once
// A structure-aware mutator for the JSON formats. Qt's JSON parser is not built with coverage, so
// byte mutations alone rarely get past it; this one parses the input and replaces, drops,
// duplicates or adds nodes from the format's own vocabulary, and falls back to libFuzzer's byte
// mutation when the input is not JSON.
//
// A target declares its vocabulary once:
//     HARKWELL_JSON_MUTATOR({"vaultPath", "recentDays", ...})
// which defines LLVMFuzzerCustomMutator for that program.

#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace harkwell::fuzz {

size_t mutateJson(uint8_t* data, size_t size, size_t maxSize, unsigned int seed, const QStringList& keys);

}  // namespace harkwell::fuzz

#define HARKWELL_JSON_MUTATOR(...)                                                                            \
    extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)  \
    {                                                                                                        \
        static const QStringList keys = QStringList __VA_ARGS__;                                            \
        return harkwell::fuzz::mutateJson(data, size, maxSize, seed, keys);                                 \
    }
