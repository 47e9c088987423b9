#include "toolkit/secret.h"

#include <gtest/gtest.h>

namespace qe {
namespace {

TEST(Secret, MovesItsBufferAndClones) {
    Secret pin("1234");
    const char* buffer = pin.data();
    Secret moved(std::move(pin));
    EXPECT_EQ(moved.data(), buffer);  // the same storage, not a copy left behind
    EXPECT_TRUE(pin.empty());         // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.view(), "1234");

    Secret copy = moved.Clone();
    EXPECT_NE(copy.data(), moved.data());
    moved.Clear();
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(copy.view(), "1234");
}

TEST(Wipe, ZeroesTheWholeBuffer) {
    Bytes key{1, 2, 3, 4};
    key.reserve(16);
    std::uint8_t* raw = key.data();
    Wipe(key);
    EXPECT_TRUE(key.empty());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(raw[i], 0);  // still owned by the vector, which kept its capacity
    }
}

}  // namespace
}  // namespace qe
