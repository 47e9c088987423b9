#include "toolkit/der.h"

#include <gtest/gtest.h>

#include "toolkit/status.h"

namespace qe {
namespace {

TEST(EncodeOid, KnownIdentifiers) {
    EXPECT_EQ(EncodeOid("1.2.840.113549.1.7.3"),
              (Bytes{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03}));
    EXPECT_EQ(EncodeOid("1.2.840.113549.3.7"),
              (Bytes{0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07}));
    EXPECT_EQ(EncodeOid("2.5.29.17"), (Bytes{0x06, 0x03, 0x55, 0x1D, 0x11}));
    // An arc above 2^32 and a first arc 2 with a large second arc.
    EXPECT_EQ(EncodeOid("2.999.4294967296"),
              (Bytes{0x06, 0x07, 0x88, 0x37, 0x90, 0x80, 0x80, 0x80, 0x00}));
}

TEST(EncodeOid, RefusesMalformedText) {
    for (const char* bad : {"", "1", "1.", ".1.2", "1..2", "3.1", "1.40", "1.2.x", "1.2.-3",
                            "1.2.99999999999999999999999"}) {
        EXPECT_TRUE(EncodeOid(bad).empty()) << bad;
    }
}

TEST(SplitDer, ReturnsEachChildAsWholeElement) {
    // SEQUENCE { INTEGER 2, [0] { OCTET STRING "ab" }, NULL }
    const Bytes der{0x30, 0x0B, 0x02, 0x01, 0x02, 0xA0, 0x04, 0x04, 0x02, 'a', 'b', 0x05, 0x00};
    std::vector<Bytes> children;
    ASSERT_EQ(SplitDer(der, children), 0);
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(children[0], (Bytes{0x02, 0x01, 0x02}));
    EXPECT_EQ(children[1], (Bytes{0xA0, 0x04, 0x04, 0x02, 'a', 'b'}));
    EXPECT_EQ(children[2], (Bytes{0x05, 0x00}));

    std::int64_t version = 0;
    EXPECT_TRUE(ReadSmallInteger(children[0], version));
    EXPECT_EQ(version, 2);
    EXPECT_FALSE(ReadSmallInteger(children[2], version));
}

TEST(SplitDer, LongFormLengthsAndEmptyValues) {
    Bytes der{0x30, 0x82, 0x01, 0x04, 0x04, 0x81, 0xFF};
    der.resize(der.size() + 255, 0xAA);
    der.push_back(0x30);
    der.push_back(0x00);
    std::vector<Bytes> children;
    ASSERT_EQ(SplitDer(der, children), 0);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].size(), 258u);
    EXPECT_EQ(children[1], (Bytes{0x30, 0x00}));

    ASSERT_EQ(SplitDer(Bytes{0x30, 0x00}, children), 0);
    EXPECT_TRUE(children.empty());
}

TEST(SplitDer, HighTagNumbers) {
    DerElement e;
    const Bytes der{0xBF, 0x81, 0x00, 0x01, 0x7F};  // [128] constructed, length 1
    ASSERT_EQ(DecodeDerElement(der.data(), der.size(), e), 0);
    EXPECT_EQ(e.cls, DerClass::Context);
    EXPECT_TRUE(e.constructed);
    EXPECT_EQ(e.tag, 128u);
    EXPECT_EQ(e.valueSize, 1u);
}

TEST(SplitDer, MalformedInputIsADecodingError) {
    const std::vector<Bytes> bad = {
        {},                                          // nothing
        {0x30},                                      // no length
        {0x30, 0x80, 0x00, 0x00},                    // indefinite length
        {0x30, 0x05, 0x02, 0x01},                    // outer length past the end
        {0x30, 0x03, 0x02, 0x05, 0x00},              // child length past its parent
        {0x30, 0x02, 0x02, 0x00, 0xFF},              // bytes after the element
        {0x30, 0x85, 0x01, 0, 0, 0, 0},              // five length octets
        {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},        // four length octets, huge
        {0x30, 0x81},                                // length octets missing
        {0x1F, 0x81, 0x81, 0x81, 0x81, 0x01, 0x00},  // tag number too long
        {0x30, 0x01, 0x02},                          // child without length
    };
    for (const Bytes& der : bad) {
        std::vector<Bytes> children{{1}};
        EXPECT_EQ(SplitDer(der, children), kToolkitDecodeError) << ToHexLower(der);
        EXPECT_TRUE(children.empty());
    }
}

TEST(DerEncode, LengthsAndUnsignedIntegers) {
    EXPECT_EQ(DerEncode(0x04, Bytes{1, 2}), (Bytes{0x04, 0x02, 1, 2}));
    const Bytes big(200, 0xAB);
    const Bytes encoded = DerEncode(0x30, big);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + 3), (Bytes{0x30, 0x81, 200}));
    EXPECT_EQ(DerUnsignedInteger(Bytes{0x00, 0x00, 0x7F}), (Bytes{0x02, 0x01, 0x7F}));
    EXPECT_EQ(DerUnsignedInteger(Bytes{0x80}), (Bytes{0x02, 0x02, 0x00, 0x80}));
    EXPECT_EQ(DerUnsignedInteger(Bytes{}), (Bytes{0x02, 0x01, 0x00}));
    std::int64_t value = 0;
    EXPECT_TRUE(ReadSmallInteger(DerUnsignedInteger(Bytes{0x01, 0x00, 0x01}), value));
    EXPECT_EQ(value, 65537);
}

}  // namespace
}  // namespace qe
