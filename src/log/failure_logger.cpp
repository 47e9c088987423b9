#include "log/failure_logger.h"

#include <string>

#include "log/enroll_log.h"
#include "log/last_error.h"

namespace qe {

void LogFailure() {
    const SystemError saved = GetLastSystemError();
    {
        LogTag tag("On Error");
        const std::uint32_t code = saved.code;
        if (code != 0) {
            Log().Write("Message Status ID = " + std::to_string(code));
            if (!saved.text.empty()) {
                // The platform text ends with its own line break, so the known-issue sentence
                // stands on the next line.
                std::string line = "System Error : " + saved.text + "\n";
                if (code == kNoSmartCardError) {
                    line += "- Known Issue - Athena may not be the Default Provider.";
                }
                Log().Write(line);
            }
        }
        const std::uint32_t again = GetLastSystemError().code;
        Log().Write("Setting errorId = " + std::to_string(code) +
                    ", Current Error = " + std::to_string(again));
    }
    SetLastSystemError(saved);
}

}  // namespace qe
