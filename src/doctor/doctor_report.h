#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace qe {

// How long one library may take to be surveyed: a real token answers within seconds, a slow
// one (a TPM, a card reader waking up) within tens of seconds.
inline constexpr std::chrono::seconds kDefaultLibraryTimeout{30};

struct DoctorOptions {
    bool probeHosts = true;
    std::size_t logLines = 40;
    std::chrono::seconds timeout = kDefaultLibraryTimeout;
    // The doctor's own program, run again for each library ("/proc/self/exe" in the doctor).
    std::string program;
};

// The files the report read, for the bundle: the diagnostic log and the module list value
// (empty when there is none).
struct ReportSources {
    std::string logPath;
    std::string moduleListPath;
};

// Runs every check and writes the report to `stream`, flushed section by section as each is
// ready: the settings and the module list at once, each library when its survey (a child
// process, killed after `options.timeout`) ends, the tokens, the link handler, the servers
// (probed meanwhile unless told not to) and the end of the diagnostic log. Certificates are shown
// in full only when the authority issued them: the issuers the wizard remembers, else those the
// rekey host names (then its probe is waited for before the libraries). Returns the whole text,
// the same layout on every run.
std::string WriteReport(const DoctorOptions& options, std::ostream& stream, ReportSources& sources);

}  // namespace qe
