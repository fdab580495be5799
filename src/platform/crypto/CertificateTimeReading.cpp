#include "platform/crypto/CertificateTimeReading.hpp"

namespace tarvo::platform {

namespace {

// The two digits at `at` as a number, or -1 when they are not digits.
int twoDigits(ByteView text, std::size_t at) {
    const auto digit = [&](std::size_t i) { return text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -100; };
    const int value = digit(at) * 10 + digit(at + 1);
    return value < 0 ? -1 : value;
}

// UTCTime YYMMDDHHMMSSZ and GeneralizedTime YYYYMMDDHHMMSSZ, the forms RFC
// 5280 allows, read as ASN1_TIME_to_tm reads them: two-digit years from 1950
// to 2049, each field within its range, days within their month. For these
// lengths and the closing Z, OpenSSL reads nothing else either: any other
// character fails there as here. Other forms (offsets, fractions, no seconds)
// are left to the full decoder: `readable` is cleared.
std::optional<Instant> timeOf(const DerElement& time, bool& readable) {
    const ByteView text = time.content;
    const std::size_t yearDigits = time.tag == utcTimeTag ? 2 : 4;
    if (text.size() != yearDigits + 11 || text.back() != 'Z') {
        readable = false;
        return std::nullopt;
    }
    int year = twoDigits(text, 0);
    if (yearDigits == 2) {
        year = year < 0 ? -1 : year < 50 ? 2000 + year : 1900 + year;
    } else {
        const int low = twoDigits(text, 2);
        year = year < 0 || low < 0 ? -1 : year * 100 + low;
    }
    const std::size_t at = yearDigits;
    const int month = twoDigits(text, at);
    const int day = twoDigits(text, at + 2);
    const int hour = twoDigits(text, at + 4);
    const int minute = twoDigits(text, at + 6);
    const int second = twoDigits(text, at + 8);
    if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return Instant{std::chrono::sys_days{date}} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
           std::chrono::seconds{second};
}

}  // namespace

std::optional<Instant> readTime(DerElements& outer, bool& readable) {
    DerElement time;
    if (outer.atEnd() || (outer.nextTag() != utcTimeTag && outer.nextTag() != generalizedTimeTag) ||
        !outer.next(time)) {
        readable = false;
        return std::nullopt;
    }
    return timeOf(time, readable);
}

}  // namespace tarvo::platform
