#include "main/ModuleSelection.hpp"

#include "support/Tools.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <vector>

namespace tarvo {
namespace {

// The first candidate that is a file, links followed; else the first one.
TEST(DefaultModulePath, IsTheFirstCandidateThatIsAFile) {
    const test::TempDir dir;
    const std::string file = (dir.path() / "libakisp11.so").string();
    const std::string other = (dir.path() / "other.so").string();
    const std::string link = (dir.path() / "link.so").string();
    const std::string fifo = (dir.path() / "fifo.so").string();
    const std::string missing = (dir.path() / "missing.so").string();
    const std::string folder = dir.path().string();
    test::writeFile(file, std::string("x"));
    test::writeFile(other, std::string("x"));
    std::filesystem::create_symlink(other, link);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const struct {
        std::vector<const char*> candidates;
        std::string chosen;
    } cases[] = {
        {{missing.c_str(), file.c_str(), other.c_str()}, file},
        {{file.c_str(), other.c_str()}, file},
        {{folder.c_str(), fifo.c_str(), link.c_str(), file.c_str()}, link},
        {{missing.c_str(), folder.c_str(), fifo.c_str()}, missing},
        {{folder.c_str()}, folder},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(defaultModulePath(c.candidates), c.chosen) << c.candidates.front();
    }
}

}  // namespace
}  // namespace tarvo
