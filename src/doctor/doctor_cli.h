#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qe {

// The doctor program: prints the report to `out` and, with --bundle FILE, writes the report, the
// diagnostic log and the module list file into one zip archive. It never asks for a PIN, never
// logs in, never writes to a token and never writes to the wizard's log. Returns 0 when it ran
// (whatever it found), 1 when the bundle could not be written, 2 for bad usage (the usage text
// then goes to `err`). `self` is the doctor's own program, which surveys each library in a
// process of its own when given the hidden arguments of doctor/survey_child.h.
int RunDoctor(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const std::string& self);

}  // namespace qe
