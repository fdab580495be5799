// No block of memory that decoding a request gives back holds the PIN's
// bytes: neither the decoded string nor the parser's raw copy of the token.
// Every operator delete of this program searches the block first while a
// request is being decoded.

#include "main/Request.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// Unlikely anywhere but in the requests below.
constexpr char marker[] = "Pin-Sirri-4711";

std::atomic<bool> watching{false};
std::atomic<int> blocksWithPin{0};

void inspect(void* block) noexcept {
    if (watching && block != nullptr &&
        ::memmem(block, ::malloc_usable_size(block), marker, sizeof marker - 1) != nullptr) {
        ++blocksWithPin;
    }
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* block = std::malloc(size > 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept {
    inspect(block);
    std::free(block);
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }

namespace tarvo {
namespace {

struct WipeCase {
    const char* name;
    std::string request;
    std::string pin;  // as decoded
};

const std::string longPin = std::string(marker) + std::string(700, 'q');
const std::string digestInfo = "MDEwDQYJYIZIAWUDBAIBBQAEIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";

TEST(RequestFreedMemory, HoldsNoCopyOfThePin) {
    const std::vector<WipeCase> cases = {
        {"last", R"({"action":"udf-sign","pin":")" + std::string(marker) + "\"}", marker},
        {"first", R"({"pin":")" + std::string(marker) + R"(","action":"udf-sign","digestInfo":")" + digestInfo + "\"}",
         marker},
        {"long", R"({"action":"udf-sign","pin":")" + longPin + "\"}", longPin},
        {"escaped", R"({"action":"udf-sign","pin":")" + std::string(marker) + R"(\u011f\n"} )",
         std::string(marker) + "ğ\n"},
        {"byte order mark", "\xEF\xBB\xBF{\"action\":\"udf-sign\",\"pin\":\"" + std::string(marker) + "\"}", marker},
        {"read twice for a huge number", R"({"n":1e999,"action":"udf-sign","pin":")" + std::string(marker) + "\"}",
         marker},
    };
    for (const WipeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ByteView input(reinterpret_cast<const std::uint8_t*>(c.request.data()), c.request.size());
        blocksWithPin = 0;
        watching = true;
        std::optional<Request> request = decodeRequest(input);
        watching = false;
        ASSERT_TRUE(request.has_value());
        ASSERT_TRUE(request->pin.has_value());
        EXPECT_EQ(std::string(request->pin->view().begin(), request->pin->view().end()), c.pin);
        EXPECT_EQ(blocksWithPin, 0);
    }
}

}  // namespace
}  // namespace tarvo
