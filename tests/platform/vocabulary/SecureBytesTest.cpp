#include "platform/vocabulary/SecureBytes.hpp"

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
#include <string_view>

namespace tarvo {
namespace {

// What the kernel's own account (/proc/self/smaps) says under the field
// ("Locked:", "VmFlags:") of the mapping that holds the address; nothing when
// no mapping holds it.
std::optional<std::string> mappingField(const void* address, std::string_view field) {
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
        } else if (inside && line.starts_with(field)) {
            return line.substr(field.size()) + " ";
        }
    }
    return std::nullopt;
}

// The "Locked:" size in kB of the mapping that holds the address.
std::optional<long> lockedKilobytes(const void* address) {
    const std::optional<std::string> locked = mappingField(address, "Locked:");
    if (!locked) {
        return std::nullopt;
    }
    long kilobytes = 0;
    std::istringstream(*locked) >> kilobytes;
    return kilobytes;
}

// Whether the mapping that holds the address is left out of core dumps ("dd").
bool leftOutOfCoreDumps(const void* address) {
    return mappingField(address, "VmFlags:").value_or("").find(" dd ") != std::string::npos;
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

// Should the process become dumpable again, no core file holds a secret.
TEST(SecureBytes, EachSecretIsLeftOutOfCoreDumpsUntilItIsGone) {
    auto first = std::make_unique<SecureBytes>(std::string_view(pin));
    const SecureBytes second{std::string_view(pin)};
    const void* firstAddress = first->data();
    EXPECT_TRUE(leftOutOfCoreDumps(firstAddress));
    EXPECT_TRUE(leftOutOfCoreDumps(second.data()));

    first.reset();
    EXPECT_FALSE(leftOutOfCoreDumps(firstAddress));
    EXPECT_TRUE(leftOutOfCoreDumps(second.data()));
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
