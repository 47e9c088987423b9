#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qe {

// The subject fields answer: field key to field value, UTF-8, ordered by key; a later line with
// the same key replaces the earlier value.
using CertFields = std::map<std::string, std::string>;

// How a value is taken from its line: as it stands (a carriage return before the line feed stays
// in it), or with carriage returns and line feeds removed at both ends.
enum class FieldValueRule { Unchanged, TrimLineEnds };

// Reads "key=value" lines (split at line feeds; the first "=" separates; the key is trimmed of
// white space; lines without "=" are passed over). Empty only when a text cannot be encoded.
std::optional<CertFields> ReadCertFields(const std::wstring& text,
                                         FieldValueRule rule = FieldValueRule::Unchanged);

// The renewable serial numbers of the status answer's "pkcs10" header: lower-cased, every space
// a line break, read line by line ("a  b" gives a, "", b; a final space adds nothing; an empty
// value gives no entry).
std::vector<std::wstring> ReadRenewableSerials(const std::wstring& headerValue);

}  // namespace qe
