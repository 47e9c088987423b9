#pragma once

namespace qe {

// Writes the calling thread's last system error to the log under the tag "On Error": its code,
// the platform's text for it, and the code read again. It reports and changes nothing: the last
// error is the same afterwards. Call it right after the failing operation.
void LogFailure();

}  // namespace qe
