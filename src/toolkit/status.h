#pragma once

namespace qe {

// Result codes of the cryptographic toolkit (beside 0 for success).
inline constexpr int kToolkitNoMemory = 1792;      // memory could not be obtained
inline constexpr int kToolkitEmptyValue = 1799;    // a name attribute with a zero-length value
inline constexpr int kToolkitDecodeError = 1801;   // bytes that are not a well-formed DER element
inline constexpr int kToolkitCipherError = 1802;   // decryption failed (bad key, IV or padding)
inline constexpr int kToolkitNotPrintable = 1809;  // character outside PrintableString
inline constexpr int kToolkitBadText =
    1810;  // a name value that is not UTF-8 (or not ASCII for IA5String)
inline constexpr int kToolkitValueTooLong = 1811;  // a name value above its attribute's upper bound
inline constexpr int kToolkitEncodeError = 1812;   // an encoding step of the toolkit failed

}  // namespace qe
