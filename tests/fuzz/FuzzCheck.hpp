#pragma once

#include "platform/vocabulary/Bytes.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A broken expectation is a finding like a crash: name it and abort, so that
// libFuzzer keeps the input that led here.
#define FUZZ_EXPECT(condition)                                                                        \
    do {                                                                                              \
        if (!(condition)) {                                                                           \
            std::fprintf(stderr, "expectation failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                             \
        }                                                                                             \
    } while (false)

namespace tarvo::fuzz {

inline std::string_view textOf(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline ByteView bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace tarvo::fuzz
