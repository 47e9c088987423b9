#pragma once

#include <string>
#include <vector>

namespace qe {

struct BundleEntry {
    std::string name;
    std::string content;
};

// Writes the entries as one zip archive at `path`. The archive is built in a temporary file
// (mode 0600) beside it and renamed into place, so a failed write leaves nothing half-written and
// a link at `path` is replaced rather than followed. Returns true, or false with `error` saying
// what failed.
bool WriteBundle(const std::string& path, const std::vector<BundleEntry>& entries,
                 std::string& error);

}  // namespace qe
