#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace qe {

// Text that came from a token, a certificate, the environment or a log, made safe for a terminal:
// control characters (C0, DEL, C1) and bytes that are not UTF-8 become \xNN; the rest is kept.
std::string Printable(std::string_view text);

// A PKCS#11 text field without its trailing padding (blanks or NULs), made printable.
std::string FieldText(const void* field, std::size_t width);

// Flags in words, ", " between them; bits without a word are added as one hex number. The PIN
// flags of a token are left to PinFlagWords. "none" when nothing is set.
std::string TokenFlagWords(CK_FLAGS flags);
std::string PinFlagWords(CK_FLAGS flags);
std::string SlotFlagWords(CK_FLAGS flags);

// "0x0000042d"
std::string Hex32(unsigned long value);
// "0x42d"
std::string HexNumber(unsigned long value);
// "2.40"
std::string VersionText(const CK_VERSION& version);
// "CKR_PIN_LOCKED (0xa4)", or the number alone for codes PKCS#11 does not name.
std::string ResultText(CK_RV rv);
// One memory pool of a token: "12345 of 65536 bytes free", "not reported" when either value is
// unavailable.
std::string MemoryText(CK_ULONG freeBytes, CK_ULONG totalBytes);

// Items joined with ", ".
std::string Join(const std::vector<std::string>& items);

// Lines of a report: "== Title ==" sections, two spaces per indent level, "key: value" fields
// ("key: (empty)" for an empty value).
class ReportWriter {
public:
    void Section(const std::string& title);
    void Line(int indent, const std::string& text);
    void Field(int indent, const std::string& key, const std::string& value);
    const std::string& text() const { return text_; }
    // The text written since the last call (all of it the first time), for showing a report
    // while it is being written.
    std::string TakeNew();

private:
    std::string text_;
    std::size_t taken_ = 0;
};

}  // namespace qe
