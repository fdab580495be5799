#include "certificate/DateText.hpp"

#include <gtest/gtest.h>

namespace tarvo::test {
namespace {

using namespace std::chrono;

Instant micros(std::int64_t count) { return Instant{microseconds{count}}; }
Instant at(year_month_day date, microseconds time = {}) { return Instant{sys_days{date}} + time; }

struct DateCase {
    Instant instant;
    const char* expected;
};

const DateCase dateCases[] = {
    {micros(0), "1970-01-01T00:00:00.000Z"},
    {micros(978'307'200'000'000), "2001-01-01T00:00:00.000Z"},
    {micros(978'307'260'500'000), "2001-01-01T00:01:00.500Z"},
    {micros(978'307'200'000'000 - 86'400'250'000), "2000-12-30T23:59:59.750Z"},
    {micros(-1'000), "1969-12-31T23:59:59.999Z"},
    {micros(-1), "1970-01-01T00:00:00.000Z"},
    {micros(-500), "1970-01-01T00:00:00.000Z"},
    {micros(-501), "1969-12-31T23:59:59.999Z"},
    {micros(-86'400'000'000), "1969-12-31T00:00:00.000Z"},
    {micros(499), "1970-01-01T00:00:00.000Z"},
    {micros(500), "1970-01-01T00:00:00.001Z"},
    {micros(999'500), "1970-01-01T00:00:01.000Z"},
    {micros(86'399'999'500), "1970-01-02T00:00:00.000Z"},
    {at(year{1950} / 1 / 1), "1950-01-01T00:00:00.000Z"},
    {at(year{1900} / 3 / 1), "1900-03-01T00:00:00.000Z"},
    {at(year{2024} / 2 / 29, 12h + 34min + 56s + 789ms), "2024-02-29T12:34:56.789Z"},
    {at(year{2038} / 1 / 19, 3h + 14min + 8s), "2038-01-19T03:14:08.000Z"},
    {at(year{2099} / 12 / 31, 23h + 59min + 59s), "2099-12-31T23:59:59.000Z"},
    {at(year{9999} / 12 / 31, 23h + 59min + 59s + 999ms), "9999-12-31T23:59:59.999Z"},
    {at(year{1} / 1 / 1), "0001-01-01T00:00:00.000Z"},
};

TEST(DateText, WritesEachInstantInUtcWithMilliseconds) {
    for (const auto& [instant, expected] : dateCases) {
        EXPECT_EQ(dateText(instant), expected) << instant.time_since_epoch().count();
    }
}

}  // namespace
}  // namespace tarvo::test
