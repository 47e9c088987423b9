#pragma once

#include <string>
#include <vector>

namespace qe {

// The per-user settings store: a key is a directory, a value a file in it, so support can read
// and edit the settings with any text editor. Status results are 0 or an errno value (ENOENT
// for a missing key or value).

// $HOME, or the password database's home directory when it is unset or not absolute.
std::string UserHomeDirectory();
// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or not absolute.
std::string UserConfigHome();
// The first absolute entry of $XDG_CONFIG_DIRS, or /etc/xdg: the machine-wide store.
std::string MachineConfigHome();

// Reads the value file `name` of the key directory `keyDir`. Returns 0 with the whole content,
// ENOENT when it is missing, EFBIG when it is larger than any module list can be, or the errno of
// the failed read.
int ReadConfigValue(const std::string& keyDir, const std::string& name, std::string& data);

// Creates the key directory (with its parents) and replaces the value file atomically. Returns 0
// or the errno of the step that failed.
int WriteConfigValue(const std::string& keyDir, const std::string& name, const std::string& data);

// The one "$" expansion of a string value: the run of upper-case letters A to Z right after the
// first "$" names an environment variable; when it exists, "$" and the name are replaced by its
// value. Otherwise the text comes back unchanged.
std::string ExpandDollarOnce(const std::string& value);

// Copies the key directory `source` into `target`: every subkey recursively (names up to 260
// characters, links not followed), then every value (names up to 255 characters, up to 16383
// bytes). Values named in `multiStrings` are multi-strings and copied unchanged; any other is a
// string value and expanded once. Returns the error of opening the source, of creating the
// target, or the status of the last value written (0 without values).
int CopyConfigKey(const std::string& source, const std::string& target,
                  const std::vector<std::string>& multiStrings = {});

}  // namespace qe
