#include "toolkit/des3.h"

#include <gtest/gtest.h>

#include <openssl/crypto.h>

#include "toolkit/status.h"

namespace qe {
namespace {

Bytes FromHex(const std::string& hex) {
    long size = 0;
    unsigned char* raw = OPENSSL_hexstr2buf(hex.c_str(), &size);
    Bytes out(raw, raw + size);
    OPENSSL_free(raw);
    return out;
}

const Bytes kKey = FromHex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
const Bytes kIv = FromHex("1234567890ABCDEF");

TEST(TripleDes, KnownAnswers) {
    Bytes plain;
    const Bytes fox = FromHex("5ba523a59a5109710da06400f058192a743dc4df1c5926554bb09c767a3e2ce0");
    ASSERT_EQ(ZEL_3DES_Decrypt_Data(fox.data(), fox.size(), kKey.data(), kIv.data(), plain), 0);
    EXPECT_EQ(ToString(plain), "The quick brown fox jump");  // a whole block of padding removed

    const Bytes hello = FromHex("f33c5f77853e4c27");
    ASSERT_EQ(ZEL_3DES_Decrypt_Data(hello.data(), hello.size(), kKey.data(), kIv.data(), plain), 0);
    EXPECT_EQ(ToString(plain), "hello");
}

TEST(TripleDes, BadPaddingAndSizesFailWithEmptyOutput) {
    Bytes plain = ToBytes("previous");
    const Bytes badPadding = FromHex("5a4cc921e472c946");  // "hello" + 03 03 04
    EXPECT_EQ(
        ZEL_3DES_Decrypt_Data(badPadding.data(), badPadding.size(), kKey.data(), kIv.data(), plain),
        kToolkitCipherError);
    EXPECT_TRUE(plain.empty());

    const Bytes partial = FromHex("f33c5f77853e4c");  // not a whole block
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(partial.data(), partial.size(), kKey.data(), kIv.data(), plain),
              kToolkitCipherError);
    EXPECT_EQ(ZEL_3DES_Decrypt_Data(nullptr, 0, kKey.data(), kIv.data(), plain),
              kToolkitCipherError);  // no padding block at all

    Bytes wrongKey = kKey;
    wrongKey[0] ^= 0x10;
    const Bytes fox = FromHex("5ba523a59a5109710da06400f058192a743dc4df1c5926554bb09c767a3e2ce0");
    const int rc =
        ZEL_3DES_Decrypt_Data(fox.data(), fox.size(), wrongKey.data(), kIv.data(), plain);
    // A wrong key almost always breaks the padding; when it does not, the text is garbage.
    if (rc == 0) {
        EXPECT_NE(ToString(plain), "The quick brown fox jump");
    } else {
        EXPECT_TRUE(plain.empty());
    }
}

}  // namespace
}  // namespace qe
