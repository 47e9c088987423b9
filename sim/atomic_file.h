#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace qe::sim {

// Replaces the file at `path` so that a reader, or a crash at any moment, finds either the old
// content or the new one, never a mixture: the content goes to a fresh file in the same
// directory, is flushed to disk, renamed over the old name, and the directory is flushed too.
// Returns false when any step fails; the old file is then left as it was.
bool WriteFileAtomically(const std::string& path, std::string_view content, mode_t mode = 0644);

// The whole content of a regular file; nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Creates the directory (and its parents) unless it exists, giving a newly made one `mode`;
// false when it cannot or the path is not a directory.
bool EnsureDirectory(const std::string& path, mode_t mode = 0700);

}  // namespace qe::sim
