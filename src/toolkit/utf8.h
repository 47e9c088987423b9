#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qe {

// The one converter between the wide text used inside the wizard and UTF-8 on the wire, in files
// and in the log. Both directions are strict: malformed UTF-8 (bad sequences, overlong forms,
// encoded surrogates, code points above 0x10FFFF) and wide text holding surrogates or values above
// 0x10FFFF give no result, never a replacement. Characters outside the 16-bit range are carried
// whole (wchar_t holds any code point here).
std::optional<std::wstring> Utf8ToWide(std::string_view utf8);
std::optional<std::string> WideToUtf8(std::wstring_view wide);

// For log lines only: like WideToUtf8, with U+FFFD standing for any character that cannot be
// encoded, so a log line is never lost.
std::string WideToUtf8ForLog(std::wstring_view wide);

// A server's text as a dialog or label can show it: at most kScreenTextMax characters (the rest
// cut, "..." after it; the whole text is for the log), and a break opportunity (U+200B) after
// every kUnbrokenMax characters without a space, so a label wraps it inside the screen.
inline constexpr std::size_t kScreenTextMax = 300;
inline constexpr std::size_t kUnbrokenMax = 40;
std::wstring TextForScreen(std::wstring_view text);

// Whether the bytes are well-formed UTF-8 by the rules above.
bool IsValidUtf8(std::string_view utf8);

}  // namespace qe
