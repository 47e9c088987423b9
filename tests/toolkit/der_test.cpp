#include "toolkit/der.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "toolkit/rsa_public_key.h"
#include "toolkit/status.h"

namespace qe {
namespace {

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// "1.2" followed by `count` arcs of 1: one content octet each.
std::string OnesAfter12(int count) {
    std::string dotted = "1.2";
    for (int i = 0; i < count; ++i) {
        dotted += ".1";
    }
    return dotted;
}

TEST(EncodeOid, ArcsAndLengthsAtTheirLimits) {
    const std::pair<std::string, Bytes> cases[] = {
        {"1.2.840.113549.3.7", {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07}},
        {"1.39", {0x06, 0x01, 0x4F}},
        {"2.999.4294967296", {0x06, 0x07, 0x88, 0x37, 0x90, 0x80, 0x80, 0x80, 0x00}},
        {OnesAfter12(126), Concat({0x06, 0x7F, 0x2A}, Bytes(126, 0x01))},
        {OnesAfter12(127), Concat({0x06, 0x81, 0x80, 0x2A}, Bytes(127, 0x01))},
        {OnesAfter12(255), {}},  // no identifier is that long
        {"1.40", {}},
        {"3.1", {}},
        {"", {}},
        {"1", {}},
        {"1.", {}},
        {".1.2", {}},
        {"1..2", {}},
        {"1.2.x", {}},
        {"1.2.-3", {}},
        {"1.2.99999999999999999999999", {}},
    };
    for (const auto& [dotted, der] : cases) {
        EXPECT_EQ(EncodeOid(dotted), der) << dotted;
    }
}

// Every header form at its limits, each once as a child of a SEQUENCE and once alone with one
// byte missing.
TEST(SplitDer, HeaderFormsAtTheirLimits) {
    const std::vector<Bytes> children = {
        {0x02, 0x01, 0x02},
        {0xA0, 0x04, 0x04, 0x02, 'a', 'b'},
        {0xDF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00},  // [0x0FFFFFFF] in four tag octets
        Concat({0x44, 0x7F}, Bytes(127, 0)),
        Concat({0x04, 0x84, 0x00, 0x00, 0x00, 0x80}, Bytes(128, 0)),
    };
    Bytes content;
    for (const Bytes& child : children) {
        content = Concat(content, child);
        DerElement e;
        EXPECT_EQ(DecodeDerElement(child.data(), child.size() - 1, e), kToolkitDecodeError);
    }
    std::vector<Bytes> split;
    ASSERT_EQ(SplitDer(DerEncode(0x30, content), split), 0);
    EXPECT_EQ(split, children);
    DerElement e;
    ASSERT_EQ(DecodeDerElement(children[2].data(), children[2].size(), e), 0);
    EXPECT_TRUE(e.Is(DerClass::Private, false, 0x0FFFFFFF));
    ASSERT_EQ(DecodeDerElement(children[1].data(), children[1].size(), e), 0);
    EXPECT_TRUE(e.Is(DerClass::Context, true, 0));
    EXPECT_EQ(e.headerSize, 2u);
    EXPECT_EQ(e.value, children[1].data() + 2);
}

TEST(SplitDer, MalformedInputIsRefusedWithNoChildren) {
    const std::vector<Bytes> bad = {
        {},                                          // nothing
        {0x30},                                      // no length
        {0x30, 0x80, 0x00, 0x00},                    // indefinite length
        {0x30, 0x03, 0x02, 0x05, 0x00},              // child length past its parent
        {0x30, 0x02, 0x02, 0x00, 0xFF},              // bytes after the element
        {0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x00},  // five length octets
        {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},        // four length octets, huge
        {0x30, 0x82, 0x00},                          // length octets missing
        {0x1F, 0x81, 0x81, 0x81, 0x81, 0x01, 0x00},  // tag number of five octets
        {0x30, 0x01, 0x02},                          // child without length
    };
    for (const Bytes& der : bad) {
        std::vector<Bytes> children{{1}};
        EXPECT_EQ(SplitDer(der, children), kToolkitDecodeError) << ToHexLower(der);
        EXPECT_TRUE(children.empty());
    }
}

TEST(DerEncode, LengthFormsAndUnsignedIntegers) {
    EXPECT_EQ(DerEncode(0x04, Bytes(128, 1)), Concat({0x04, 0x81, 0x80}, Bytes(128, 1)));
    EXPECT_EQ(DerEncode(0x04, Bytes(256, 1)), Concat({0x04, 0x82, 0x01, 0x00}, Bytes(256, 1)));
    const std::pair<Bytes, Bytes> integers[] = {
        {{0x00, 0x00, 0x7F}, {0x02, 0x01, 0x7F}},
        {{0x80}, {0x02, 0x02, 0x00, 0x80}},
        {{}, {0x02, 0x01, 0x00}},
        {{0x00, 0x00}, {0x02, 0x01, 0x00}},
        {{0x01, 0x00}, {0x02, 0x02, 0x01, 0x00}},
    };
    for (const auto& [number, der] : integers) {
        EXPECT_EQ(DerUnsignedInteger(number), der) << ToHexLower(number);
    }
}

TEST(ReadSmallInteger, SignedAndFourValueOctetsAtMost) {
    const std::pair<Bytes, std::int64_t> cases[] = {
        {{0x02, 0x01, 0xFF}, -1},
        {{0x02, 0x03, 0x01, 0x00, 0x01}, 65537},
        {{0x02, 0x04, 0x80, 0x00, 0x00, 0x00}, -0x80000000LL},
        {{0x02, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}, 7},  // 7: refused, left as it was
        {{0x02, 0x00}, 7},
        {{0x05, 0x01, 0x01}, 7},
        {{0x22, 0x01, 0x01}, 7},
    };
    for (const auto& [der, expected] : cases) {
        std::int64_t value = 7;
        EXPECT_EQ(ReadSmallInteger(der, value), expected != 7) << ToHexLower(der);
        EXPECT_EQ(value, expected);
    }
}

// The modulus's high bit set: encoded unsigned, it needs its zero octet to stay positive.
TEST(RsaPublicKey, CarriesTheModulusAndExponent) {
    const Bytes modulus = Concat({0xC5}, Bytes(127, 0x35));
    const PkeyPtr key = RsaPublicKey(modulus, {0x01, 0x00, 0x01});
    ASSERT_NE(key, nullptr);
    for (const auto& [name, expected] : {std::pair{"n", modulus}, {"e", Bytes{1, 0, 1}}}) {
        BIGNUM* number = nullptr;
        ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), name, &number), 1);
        const BignumPtr owned(number);
        Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number)));
        BN_bn2bin(number, bytes.data());
        EXPECT_EQ(bytes, expected) << name;
    }
}

}  // namespace
}  // namespace qe
