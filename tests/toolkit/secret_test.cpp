// Secrets, wiping, and the triple DES decryption whose output is one.
#include "toolkit/secret.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "support/freed_memory.h"
#include "support/hex.h"
#include "toolkit/des3.h"
#include "toolkit/status.h"

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
    Bytes key{1, 2, 3, 4};
    key.reserve(16);
    const std::uint8_t* raw = key.data();
    Wipe(key);
    EXPECT_TRUE(key.empty());
    EXPECT_EQ(Bytes(raw, raw + 16), Bytes(16, 0));  // the whole capacity, still the vector's
}

// What a secret leaves in the memory given back: nothing, on every way it can go.
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

TEST(TripleDes, PaddingSizesAndNoPlaintextLeftBehind) {
    const Bytes key = test::Hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
    const Bytes iv = test::Hex("1234567890ABCDEF");
    const std::tuple<const char*, int, const char*> cases[] = {
        {"5ba523a59a5109710da06400f058192a743dc4df1c5926554bb09c767a3e2ce0", 0,
         "The quick brown fox jump"},  // a whole block of padding removed
        {"f33c5f77853e4c27", 0, "hello"},
        {"5ba523a59a5109710da06400f058192a743dc4df1c592655a9a24e5bcec908d0", kToolkitCipherError,
         ""},  // "The quick brown fox jump" "hello" 03 03 04: wiped though refused
        {"f33c5f77853e4c", kToolkitCipherError, ""},  // not a whole block
        {"", kToolkitCipherError, ""},                // no padding block at all
    };
    for (const auto& [hex, rc, plaintext] : cases) {
        const Bytes ciphertext = test::Hex(hex);
        Bytes plain = ToBytes("previous");
        test::FreedMemoryWatch watch("quick brown fox");
        EXPECT_EQ(ZEL_3DES_Decrypt_Data(ciphertext.data(), ciphertext.size(), key.data(), iv.data(),
                                        plain),
                  rc)
            << hex;
        EXPECT_EQ(watch.hits(), 0);
        EXPECT_EQ(ToString(plain), plaintext);
    }
    Bytes plain;
    const std::uint8_t block[8] = {};
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(nullptr, 8, key.data(), iv.data(), plain), kToolkitCipherError);
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(block, 8, nullptr, iv.data(), plain), kToolkitCipherError);
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(block, 8, key.data(), nullptr, plain), kToolkitCipherError);
    // Refused before a byte is read: the size alone is too large for the cipher.
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(block, std::size_t{INT_MAX} - 7, key.data(), iv.data(), plain),
              kToolkitCipherError);
}

}  // namespace
}  // namespace qe
