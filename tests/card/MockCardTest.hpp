#pragma once

// What every test against the mock card shares: the module path, a fresh
// card per test, and the check that the code never misused the module.

#include "MockP11.hpp"
#include "platform/vocabulary/HelperError.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

namespace tarvo::test {

using Names = std::vector<std::string>;

inline const std::string mockModule = MOCK_P11_MODULE;

class MockCardTest : public ::testing::Test {
protected:
    void SetUp() override { mockp11::reset({}); }
    void TearDown() override { EXPECT_THAT(mockp11::log().violations, ::testing::IsEmpty()); }
};

template <typename Parameter>
class MockCardTestWithParam : public MockCardTest, public ::testing::WithParamInterface<Parameter> {};

// The HelperError's message, or a text that no expected message equals.
template <typename Action>
std::string errorOf(Action&& action) {
    try {
        action();
    } catch (const HelperError& error) {
        return error.message();
    } catch (const std::exception& other) {
        return std::string("<other exception: ") + other.what() + ">";
    }
    return "<no error>";
}

// Joins pieces of call sequences.
inline Names concat(std::initializer_list<Names> pieces) {
    Names all;
    for (const Names& piece : pieces) {
        all.insert(all.end(), piece.begin(), piece.end());
    }
    return all;
}

// The calls from the n-th load of the module (counted from 1) to the end.
inline Names fromLoad(int n) {
    const Names names = mockp11::callNames();
    int seen = 0;
    for (auto it = names.begin(); it != names.end(); ++it) {
        if (*it == "load" && ++seen == n) {
            return Names(it, names.end());
        }
    }
    return {};
}

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace tarvo::test
