#pragma once

#include <string_view>

namespace qe {

enum class LaunchCommand { None, Register, Download };

inline constexpr std::string_view kRegisterLink = "quorvaneenroll://register/";
inline constexpr std::string_view kDownloadLink = "quorvaneenroll://download/";

// The command a launch link asks for: the whole argument must equal one of the two links exactly
// (case-sensitive, nothing decoded or trimmed). No argument, or anything else, is None.
LaunchCommand ParseLaunchLink(const char* argument);

}  // namespace qe
