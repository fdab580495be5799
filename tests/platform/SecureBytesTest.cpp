#include "platform/SecureBytes.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace tarvo {
namespace {

// The "Locked:" size in kB of the mapping that holds the address, from the
// kernel's own account (/proc/self/smaps); nothing when no mapping holds it.
std::optional<long> lockedKilobytes(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        if (std::sscanf(line.c_str(), "%jx-%jx ", reinterpret_cast<std::uintmax_t*>(&start),
                        reinterpret_cast<std::uintmax_t*>(&end)) == 2 &&
            line.find('-') < line.find(' ')) {
            inside = start <= at && at < end;
        } else if (inside && line.rfind("Locked:", 0) == 0) {
            long kilobytes = 0;
            std::istringstream(line.substr(7)) >> kilobytes;
            return kilobytes;
        }
    }
    return std::nullopt;
}

const std::string pin = "gizli-PIN-7391";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool addressSanitizer = true;
#else
constexpr bool addressSanitizer = false;
#endif

TEST(SecureBytes, EachSecretKeepsItsOwnPagesLockedUntilItIsGone) {
    if (addressSanitizer) {
        GTEST_SKIP() << "the address sanitizer makes mlock do nothing";
    }
    auto first = std::make_unique<SecureBytes>(std::string_view(pin));
    const SecureBytes second{std::string_view(pin)};
    const void* firstAddress = first->data();
    EXPECT_GT(lockedKilobytes(firstAddress).value_or(0), 0);
    EXPECT_GT(lockedKilobytes(second.data()).value_or(0), 0);

    first.reset();
    // Unlocking the first never unlocks a page of the second.
    EXPECT_EQ(lockedKilobytes(firstAddress).value_or(0), 0);
    EXPECT_GT(lockedKilobytes(second.data()).value_or(0), 0);
    EXPECT_EQ(std::string(second.view().begin(), second.view().end()), pin);
}

// Where the system refuses to lock (no privilege, a memory-lock limit of
// zero), the secret is kept all the same, merely unlocked.
[[noreturn]] void keepSecretWithoutLocking() {
    const rlimit none{0, 0};
    if ((::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ||
        ::setrlimit(RLIMIT_MEMLOCK, &none) != 0) {
        ::_exit(10);
    }
    const SecureBytes secret{std::string_view(pin)};
    if (std::string(secret.view().begin(), secret.view().end()) != pin) {
        ::_exit(11);
    }
    ::_exit(lockedKilobytes(secret.data()).value_or(-1) == 0 ? 0 : 12);
}

TEST(SecureBytes, ARefusedLockIsNoError) {
    EXPECT_EXIT(keepSecretWithoutLocking(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tarvo
