#pragma once

#include <string>
#include <vector>

namespace qe {

// The hidden arguments that make the doctor one of its own children: the survey of one library,
// or the wizard's own token listing over the libraries named after it.
inline constexpr const char* kSurveyArgument = "--survey-module";
inline constexpr const char* kListingArgument = "--wizard-listing";

// Child side: runs the survey of the library `name` (or the wizard's listing) and writes a
// ChildReport to the standard output as started. A library that crashes or hangs takes only
// this process with it. `authorityIssuers`: the hex DER names whose certificates are shown in
// full, joined by ','. Returns the exit status.
int RunSurveyChild(const std::string& name, const std::string& authorityIssuers);
int RunListingChild(const std::vector<std::string>& names);

}  // namespace qe
