#include "main/Helper.hpp"

#include "support/Tools.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

namespace tarvo {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool addressSanitizer = true;
#else
constexpr bool addressSanitizer = false;
#endif

rlim_t addressSpaceInUse() {
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    return pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

// Runs in the death test's child: the request comes from `input`, the answer
// goes to `output`, and the address space may grow by `headroom` bytes only.
[[noreturn]] void serveWithLimitedMemory(const char* input, const char* output, rlim_t headroom) {
    const int in = ::open(input, O_RDONLY);
    const int out = ::open(output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0) {
        ::_exit(100);
    }
    const rlimit limit{addressSpaceInUse() + headroom, addressSpaceInUse() + headroom};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
        ::_exit(101);
    }
    ::_exit(runHelper());
}

// A request larger than the memory the process may have must still end in the
// error document with status 2, and nothing on standard error.
TEST(RunHelper, ARequestLargerThanMemoryIsUnreadable) {
    if (addressSanitizer) {
        GTEST_SKIP() << "the sanitizer's allocator reserves more address space than any limit set here";
    }
    test::TempDir dir;
    const std::string input = (dir.path() / "request").string();
    const std::string output = (dir.path() / "answer").string();
    {
        // One GiB of zero bytes, sparse on disk: far beyond the 256 MiB allowed below.
        const int fd = ::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
        ::close(fd);
    }
    EXPECT_EXIT(serveWithLimitedMemory(input.c_str(), output.c_str(), rlim_t{256} << 20),
                ::testing::ExitedWithCode(2), "^$");
    std::ifstream answer(output, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(answer), {}), "{\"error\":\"İstek okunamadı\"}\n");
}

}  // namespace
}  // namespace tarvo
