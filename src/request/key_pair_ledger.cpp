#include "request/key_pair_ledger.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>

#include "log/enroll_log.h"
#include "log/temp_dir.h"

namespace qe {
namespace {

constexpr const char* kHeader = "# quorvane-enroll key pairs 1";
constexpr std::string_view kOwnIdPrefix = "OBJECT ID ";
constexpr std::size_t kOwnIdDigits = 32;

std::string LedgerPath() {
    const std::string dir = StateDir();
    return dir.empty() ? dir : dir + "/key-pairs";
}

std::string EntryLine(const LedgerEntry& e) {
    return e.token + '\t' + (e.state == LedgerState::Sent ? "sent" : "made") + '\t' +
           ToHexLower(e.id) + '\t' + ToHexLower(e.modulus);
}

std::optional<LedgerEntry> ParseEntry(const std::string& line) {
    std::istringstream fields(line);
    std::string token, state, id, modulus;
    std::getline(fields, token, '\t');
    std::getline(fields, state, '\t');
    std::getline(fields, id, '\t');
    std::getline(fields, modulus, '\t');
    auto idBytes = FromHex(id);
    auto modulusBytes = FromHex(modulus);
    if (token.empty() || (state != "made" && state != "sent") || !idBytes || idBytes->empty() ||
        !modulusBytes) {
        return std::nullopt;
    }
    return LedgerEntry{token, state == "sent" ? LedgerState::Sent : LedgerState::Made,
                       std::move(*idBytes), std::move(*modulusBytes)};
}

// The file's lines after its header. A file of another form keeps all its lines: they are not
// this program's to drop.
std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::ifstream in(LedgerPath());
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (!first || line != kHeader) {
            lines.push_back(line);
        }
        first = false;
    }
    return lines;
}

// The lines without the entry of this token and identifier, and `entry` (when given) in its place.
bool Rewrite(const std::string& token, const Bytes& id, const LedgerEntry* entry) {
    std::vector<std::string> lines = Lines();
    const std::size_t before = lines.size();
    std::erase_if(lines, [&](const std::string& line) {
        const auto e = ParseEntry(line);
        return e && e->token == token && e->id == id;
    });
    if (entry == nullptr && lines.size() == before) {
        return true;
    }
    std::string content = std::string(kHeader) + '\n';
    for (const std::string& line : lines) {
        content += line + '\n';
    }
    if (entry != nullptr) {
        content += EntryLine(*entry) + '\n';
    }
    const std::string path = LedgerPath();
    if (path.empty() || !ReplaceFile(path, content)) {
        Log().Write("The key pair ledger could not be written");
        return false;
    }
    return true;
}

}  // namespace

std::string LedgerTokenKey(const zel_token& token) {
    Bytes identity;
    for (const auto& field : {std::string_view(token.serialNumber, sizeof token.serialNumber),
                              std::string_view(token.manufacturerID, sizeof token.manufacturerID),
                              std::string_view(token.model, sizeof token.model)}) {
        identity.insert(identity.end(), field.begin(), field.end());
    }
    return ToHexLower(identity);
}

bool ProvesOwnPair(const LedgerEntry& entry) {
    const std::string id = ToString(entry.id);
    return id.size() == kOwnIdPrefix.size() + kOwnIdDigits && id.starts_with(kOwnIdPrefix) &&
           std::all_of(id.begin() + static_cast<std::ptrdiff_t>(kOwnIdPrefix.size()), id.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }) &&
           std::any_of(entry.modulus.begin(), entry.modulus.end(), [](auto b) { return b != 0; });
}

std::vector<LedgerEntry> LoadKeyPairLedger(std::size_t* unread) {
    std::vector<LedgerEntry> entries;
    std::size_t others = 0;
    for (const std::string& line : Lines()) {
        if (auto entry = ParseEntry(line)) {
            entries.push_back(std::move(*entry));
        } else {
            ++others;
        }
    }
    if (unread != nullptr) {
        *unread = others;
    }
    return entries;
}

bool RecordKeyPair(const LedgerEntry& entry) {
    if (!Rewrite(entry.token, entry.id, &entry)) {
        return false;
    }
    // Read back: only what is on the disk proves anything.
    const std::vector<LedgerEntry> entries = LoadKeyPairLedger();
    const bool there = std::any_of(entries.begin(), entries.end(), [&](const LedgerEntry& e) {
        return e.token == entry.token && e.id == entry.id && e.state == entry.state &&
               e.modulus == entry.modulus;
    });
    if (!there) {
        Log().Write("The key pair ledger does not read back as written");
    }
    return there;
}

void ForgetKeyPair(const std::string& token, const Bytes& id) {
    Rewrite(token, id, nullptr);
}

}  // namespace qe
