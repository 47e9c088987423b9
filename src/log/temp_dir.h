#pragma once

#include <optional>
#include <string>

namespace qe {

// The user's private temporary directory, ending in "/": $TMPDIR when it is set and is a private
// directory itself (a real directory, not a link, owned by the user, no access for others);
// otherwise quorvane-enroll-<uid> inside $TMPDIR (when set) or /tmp, created with mode 0700 and
// accepted only when it is such a private directory. Empty when $TMPDIR names no directory or no
// private directory can be had.
std::optional<std::string> PrivateTempDir();

// Creates `path` for writing only if it does not exist yet (never through a link), mode 0600.
// Returns the descriptor, or -1 with errno set (EEXIST when the name is taken).
int CreateNewPrivateFile(const std::string& path);

// Files that must not outlive the program (the previews of a download), for the ways out that
// skip their owner's clean-up: a termination signal, or an exit that abandons a worker.
// Registering fails (false) when the path is too long or too many files are registered.
bool RegisterExitRemoval(const std::string& path);
void ForgetExitRemoval(const std::string& path);
// Deletes every registered file. Safe to call from a signal handler.
void RemoveRegisteredFiles() noexcept;

}  // namespace qe
