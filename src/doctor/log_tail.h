#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qe {

// The wizard's diagnostic log: enrolllog.txt in the private temporary directory; empty when
// there is no such directory.
std::string DiagnosticLogPath();

// Up to `maxBytes` from the end of the file; when the file is longer, the cut first line is left
// out. Only a regular file of this user is read, never through a link. Returns 0 or an errno
// value.
int ReadFileTail(const std::string& path, std::size_t maxBytes, std::string& text);

// The last `count` lines of the text (a final line feed ends the last line, it starts none).
std::vector<std::string> LastLines(const std::string& text, std::size_t count);

}  // namespace qe
