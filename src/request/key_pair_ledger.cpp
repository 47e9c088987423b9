#include "request/key_pair_ledger.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "log/enroll_log.h"
#include "log/temp_dir.h"

namespace qe {
namespace {

constexpr const char* kHeader = "# quorvane-enroll key pairs 1";

std::string LedgerPath() {
    const std::string dir = StateDir();
    return dir.empty() ? dir : dir + "/key-pairs";
}

void Save(const std::vector<LedgerEntry>& entries) {
    const std::string path = LedgerPath();
    std::ostringstream out;
    out << kHeader << '\n';
    for (const LedgerEntry& e : entries) {
        out << e.token << '\t' << (e.state == LedgerState::Sent ? "sent" : "made") << '\t'
            << ToHexLower(e.id) << '\t' << ToHexLower(e.modulus) << '\n';
    }
    if (path.empty() || !ReplaceFile(path, out.str())) {
        Log().Write("The key pair ledger could not be written");
    }
}

// Sets `entries` to those without the one of this token and identifier; true when it was there.
bool Without(const std::string& token, const Bytes& id, std::vector<LedgerEntry>& entries) {
    entries = LoadKeyPairLedger();
    return std::erase_if(entries,
                         [&](const LedgerEntry& e) { return e.token == token && e.id == id; }) != 0;
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

std::vector<LedgerEntry> LoadKeyPairLedger() {
    std::vector<LedgerEntry> entries;
    std::ifstream in(LedgerPath());
    std::string line;
    if (!std::getline(in, line) || line != kHeader) {
        return entries;
    }
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string token, state, id, modulus;
        std::getline(fields, token, '\t');
        std::getline(fields, state, '\t');
        std::getline(fields, id, '\t');
        std::getline(fields, modulus, '\t');
        auto idBytes = FromHex(id);
        auto modulusBytes = FromHex(modulus);
        if (!token.empty() && (state == "made" || state == "sent") && idBytes &&
            !idBytes->empty() && modulusBytes) {
            entries.push_back({token, state == "sent" ? LedgerState::Sent : LedgerState::Made,
                               std::move(*idBytes), std::move(*modulusBytes)});
        }
    }
    return entries;
}

void RecordKeyPair(const LedgerEntry& entry) {
    std::vector<LedgerEntry> entries;
    Without(entry.token, entry.id, entries);
    entries.push_back(entry);
    Save(entries);
}

void ForgetKeyPair(const std::string& token, const Bytes& id) {
    std::vector<LedgerEntry> entries;
    if (Without(token, id, entries)) {
        Save(entries);
    }
}

}  // namespace qe
