#include "toolkit/des3.h"

#include <gtest/gtest.h>

#include <climits>

#include "support/freed_memory.h"
#include "toolkit/status.h"

namespace qe {
namespace {

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

const Bytes kKey = FromHex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
const Bytes kIv = FromHex("1234567890ABCDEF");

TEST(TripleDes, PaddingAndSizes) {
    const struct {
        const char* ciphertext;
        int rc;
        const char* plaintext;
    } cases[] = {
        // A whole block of padding removed.
        {"5ba523a59a5109710da06400f058192a743dc4df1c5926554bb09c767a3e2ce0", 0,
         "The quick brown fox jump"},
        {"f33c5f77853e4c27", 0, "hello"},
        {"5a4cc921e472c946", kToolkitCipherError, ""},  // "hello" + 03 03 04
        {"f33c5f77853e4c", kToolkitCipherError, ""},    // not a whole block
        {"", kToolkitCipherError, ""},                  // no padding block at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ciphertext);
        const Bytes ciphertext = FromHex(c.ciphertext);
        Bytes plain = ToBytes("previous");
        EXPECT_EQ(ZEL_3DES_Decrypt_Data(ciphertext.data(), ciphertext.size(), kKey.data(),
                                        kIv.data(), plain),
                  c.rc);
        EXPECT_EQ(ToString(plain), c.plaintext);
    }
    Bytes plain;
    const std::uint8_t block[8] = {};
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(nullptr, 8, kKey.data(), kIv.data(), plain),
              kToolkitCipherError);
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(block, 8, nullptr, kIv.data(), plain), kToolkitCipherError);
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(block, 8, kKey.data(), nullptr, plain), kToolkitCipherError);
    // Refused before a byte is read: the size alone is too large for the cipher.
    EXPECT_EQ(
        ZEL_3DES_Decrypt_Data(block, std::size_t{INT_MAX} - 7, kKey.data(), kIv.data(), plain),
        kToolkitCipherError);
}

TEST(TripleDes, DecryptionLeavesNoPlaintextInReleasedMemory) {
    // "The quick brown fox jump": the marker is its middle.
    const Bytes fox = FromHex("5ba523a59a5109710da06400f058192a743dc4df1c5926554bb09c767a3e2ce0");
    Bytes plain;
    test::FreedMemoryWatch watch("quick brown fox");
    ASSERT_EQ(ZEL_3DES_Decrypt_Data(fox.data(), fox.size(), kKey.data(), kIv.data(), plain), 0);
    plain.clear();  // stays with the caller
    EXPECT_EQ(watch.hits(), 0);
}

}  // namespace
}  // namespace qe
