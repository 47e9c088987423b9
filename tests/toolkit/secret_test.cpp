#include "toolkit/secret.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/freed_memory.h"

namespace qe {
namespace {

constexpr const char* kMarker = "secret-4711-marker";

TEST(Secret, MovesItsBufferAndClonesOnlyOnRequest) {
    Secret pin(kMarker);
    const char* buffer = pin.data();
    Secret moved(std::move(pin));
    EXPECT_EQ(moved.data(), buffer);  // the same storage, not a copy left behind
    EXPECT_TRUE(pin.empty());         // NOLINT(bugprone-use-after-move)
    Secret copy = moved.Clone();
    EXPECT_NE(copy.data(), moved.data());
    moved = std::move(copy);
    EXPECT_EQ(moved.view(), kMarker);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move)
}

// What a secret leaves in the memory it gives back: nothing, on every way it can go.
TEST(Secret, ReleasedMemoryHoldsNoSecret) {
    test::FreedMemoryWatch watch(kMarker);
    {
        Secret pin(kMarker);
        Secret replaced(kMarker);
        replaced = pin.Clone();
        pin.Clear();
        Bytes bytes = ToBytes(kMarker);
        Wipe(bytes);
        bytes.shrink_to_fit();
        std::string text = std::string(40, '-') + kMarker;  // off the small-string buffer
        Wipe(text);
        text.shrink_to_fit();
        SecretBytes grows(kMarker, kMarker + std::strlen(kMarker));
        grows.reserve(4096);  // the first block goes
    }
    EXPECT_EQ(watch.hits(), 0);
}

TEST(Wipe, ZeroesTheWholeCapacity) {
    Bytes key{1, 2, 3, 4};
    key.reserve(16);
    std::uint8_t* raw = key.data();
    Wipe(key);
    EXPECT_TRUE(key.empty());
    EXPECT_EQ(key.capacity(), 16u);
    EXPECT_EQ(Bytes(raw, raw + 16), Bytes(16, 0));  // still owned by the vector
}

}  // namespace
}  // namespace qe
