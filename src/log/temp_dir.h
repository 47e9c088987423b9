#pragma once

#include <optional>
#include <string>

namespace qe {

// The user's private temporary directory, ending in "/": $TMPDIR when it is set and is a private
// directory itself (a real directory, not a link, owned by the user, no access for others);
// otherwise quorvane-enroll-<uid> inside $TMPDIR (when set) or /tmp, created with mode 0700 and
// accepted only when it is such a private directory. When another user holds that name, the
// private folder quorvane-enroll in the user's cache directory ($XDG_CACHE_HOME, else ~/.cache),
// the same for every run. Empty when $TMPDIR names no directory or no private directory can be had.
std::optional<std::string> PrivateTempDir();
// `fallbackWhenTaken` false: nothing when the name in the temporary directory is held by someone
// else.
std::optional<std::string> PerUserTempDir(bool fallbackWhenTaken);

// The user's own "quorvane-enroll" folder in the cache directory, private, made when missing: it
// stands in for a temporary name someone else holds. Nothing when there is no such folder to be
// had.
std::optional<std::string> CacheFallbackDir();

// Where the program keeps what must outlive a run: "$XDG_STATE_HOME/quorvane-enroll", below
// ~/.local/state when that is not set to an absolute path; empty without a home. Not created here.
std::string StateDir();

// Writes `content` to a new file beside `path` (mode 0600: what the program keeps is the user's own
// business), flushes it to the disk, renames it over `path` and flushes the folder, creating the
// folder first. False when any of it failed.
bool ReplaceFile(const std::string& path, const std::string& content);

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
