// DER, object identifiers, UTF-8 and hex at the limits of each form; secrets, wiping, and the
// triple DES decryption whose output is one.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "support/freed_memory.h"
#include "support/hex.h"
#include "toolkit/der.h"
#include "toolkit/des3.h"
#include "toolkit/secret.h"
#include "toolkit/status.h"
#include "toolkit/utf8.h"

namespace qe {
namespace {

using test::Hex;

// "1.2" followed by `count` arcs of 1: one content octet each.
std::string OnesAfter12(int count) {
    std::string dotted = "1.2";
    for (int i = 0; i < count; ++i) {
        dotted += ".1";
    }
    return dotted;
}

TEST(EncodeOid, ArcsAndLengthsAtTheirLimits) {
    for (const auto& [dotted, der] : {std::pair{"1.2.840.113549.3.7", "06082a864886f70d0307"},
                                      {"1.39", "06014f"},
                                      {"2.999.4294967296", "060788379080808000"}}) {
        EXPECT_EQ(EncodeOid(dotted), Hex(der)) << dotted;
    }
    for (const char* bad : {"1.40", "3.1", "", "1", "1.", ".1.2", "1..2", "1.2.x", "1.2.-3",
                            "1.2.99999999999999999999"}) {
        EXPECT_TRUE(EncodeOid(bad).empty()) << bad;
    }
    EXPECT_EQ(EncodeOid(OnesAfter12(126)), Hex("067f2ax126*01"));
    EXPECT_EQ(EncodeOid(OnesAfter12(127)), Hex("0681802ax127*01"));
    EXPECT_EQ(EncodeOid(OnesAfter12(255)), Bytes());  // no identifier is that long
}

// Every header form at its limits, as children of a SEQUENCE, and alone with one byte missing.
TEST(SplitDer, HeaderFormsAtTheirLimits) {
    const std::vector<Bytes> children = {Hex("a00404026162"), Hex("dfffffff7f00"),
                                         Hex("447fx127*00"), Hex("048400000080x128*00")};
    Bytes content;
    DerElement e;
    for (const Bytes& child : children) {
        content.insert(content.end(), child.begin(), child.end());
        EXPECT_EQ(DecodeDerElement(child.data(), child.size() - 1, e), kToolkitDecodeError);
    }
    std::vector<Bytes> split;
    ASSERT_EQ(SplitDer(DerEncode(0x30, content), split), 0);
    EXPECT_EQ(split, children);
    ASSERT_EQ(DecodeDerElement(children[1].data(), children[1].size(), e), 0);
    EXPECT_TRUE(e.Is(DerClass::Private, false, 0x0FFFFFFF));
    ASSERT_EQ(DecodeDerElement(children[0].data(), children[0].size(), e), 0);
    EXPECT_TRUE(e.Is(DerClass::Context, true, 0));
    EXPECT_EQ(e.value, children[0].data() + 2);
    // Indefinite length, child past its parent, bytes after, five length octets, a huge length,
    // five tag octets, a child without length, no length, nothing.
    for (const char* bad : {"30800000", "3003020500", "30020200ff", "30850000000000",
                            "3084ffffffff", "1f818181810100", "300102", "30", ""}) {
        std::vector<Bytes> none{{1}};
        EXPECT_EQ(SplitDer(Hex(bad), none), kToolkitDecodeError) << bad;
        EXPECT_TRUE(none.empty());
    }
}

TEST(DerEncode, LengthFormsAndIntegers) {
    EXPECT_EQ(DerEncode(0x04, Bytes(128, 1)), Hex("048180x128*01"));
    EXPECT_EQ(DerEncode(0x04, Bytes(256, 1)), Hex("04820100x256*01"));
    // Unsigned number, its DER, and the value read back (7: refused, more than four octets).
    const std::tuple<const char*, const char*, std::int64_t> integers[] = {
        {"00007f", "02017f", 0x7F},
        {"80", "02020080", 0x80},
        {"", "020100", 0},
        {"0000", "020100", 0},
        {"800000", "020400800000", 0x800000},
        {"80000000", "02050080000000", 7}};
    for (const auto& [number, der, value] : integers) {
        EXPECT_EQ(DerUnsignedInteger(Hex(number)), Hex(der)) << number;
        std::int64_t read = 7;
        EXPECT_EQ(ReadSmallInteger(Hex(der), read), value != 7);
        EXPECT_EQ(read, value);
    }
    std::int64_t read = 0;
    EXPECT_TRUE(ReadSmallInteger(Hex("020480000000"), read));
    EXPECT_EQ(read, -0x80000000LL);
    for (const char* notInteger : {"0200", "050101", "220101"}) {
        EXPECT_FALSE(ReadSmallInteger(Hex(notInteger), read)) << notInteger;
    }
}

// Each sequence length at both ends of its range, the surrogate gap and the last code point;
// then overlong, cut off, surrogate and out-of-range forms.
TEST(Utf8, EveryLengthAtItsLimits) {
    const std::pair<const char*, char32_t> cases[] = {
        {"7f", 0x7F},       {"c280", 0x80},        {"dfbf", 0x7FF},    {"e0a080", 0x800},
        {"ed9fbf", 0xD7FF}, {"ee8080", 0xE000},    {"efbfbf", 0xFFFF}, {"f0908080", 0x10000},
        {"00", 0},          {"f48fbfbf", 0x10FFFF}};
    for (const auto& [hex, point] : cases) {
        const std::string utf8 = ToString(Hex(hex)) + "a" + ToString(Hex(hex));
        const std::wstring wide{static_cast<wchar_t>(point), L'a', static_cast<wchar_t>(point)};
        EXPECT_EQ(Utf8ToWide(utf8), wide) << hex;
        EXPECT_EQ(WideToUtf8(wide), utf8);
        EXPECT_EQ(WideToUtf8ForLog(wide), utf8);
    }
    for (const char* bad : {"c3", "61e282", "c328", "f09f9428", "c1bf", "e09fbf", "f08fbfbf",
                            "eda080", "edbfbf", "f4908080", "f8888080", "80"}) {
        EXPECT_FALSE(Utf8ToWide(ToString(Hex(bad))).has_value()) << bad;
        EXPECT_FALSE(IsValidUtf8(ToString(Hex(bad))));
    }
    for (const char32_t point : {0xD800u, 0xDFFFu, 0x110000u}) {
        const std::wstring wide{L'a', static_cast<wchar_t>(point)};
        EXPECT_FALSE(WideToUtf8(wide).has_value());
        EXPECT_EQ(WideToUtf8ForLog(wide), "a\xEF\xBF\xBD");  // U+FFFD keeps the log line
    }
    EXPECT_EQ(ToHexLower(Hex("0123456789abcdef")), "0123456789abcdef");
    EXPECT_EQ(ToHexUpper(Hex("0123456789abcdef")), "0123456789ABCDEF");
    EXPECT_EQ(FromHex("09afAF"), Hex("09afaf"));
}

// A server's text on screen: cut short, and breakable where it has no spaces of its own.
TEST(Utf8, TextForScreenIsShortAndWraps) {
    const std::wstring x40(40, L'x');
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"Comanda nu există.\nReveniți.", L"Comanda nu există.\nReveniți."},
        {x40 + L"xx " + x40, x40 + L"\u200Bxx " + x40},
        {std::wstring(301, L' '), std::wstring(300, L' ') + L"..."},
        {x40 + x40 + L"x", x40 + L"\u200B" + x40 + L"\u200Bx"}};
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(TextForScreen(text), shown) << text.size();
    }
}

constexpr const char* kMarker = "secret-4711-marker";

TEST(Secret, MovedFromIsEmptyAndWipeCoversTheCapacity) {
    Secret pin(kMarker);
    Secret moved(std::move(pin));
    EXPECT_TRUE(pin.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.view(), kMarker);
    // A cleared PIN kept for later (the window's cache) leaves nothing in the memory it holds.
    const char* held = moved.view().data();
    moved.Clear();
    EXPECT_EQ(std::string(held, std::strlen(kMarker)), std::string(std::strlen(kMarker), '\0'));
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
        Secret moved = std::move(replaced);
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
    const Bytes key = Hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
    const Bytes iv = Hex("1234567890ABCDEF");
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
        const Bytes ciphertext = Hex(hex);
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
