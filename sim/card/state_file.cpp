#include "sim/card/state_file.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <openssl/crypto.h>
#include <openssl/x509.h>

namespace qe::sim::card {
namespace {

constexpr const char* kMagic = "quorvane-card-state 1";

}  // namespace

// A new file renamed over the old one: a card pulled (the program ended) at any moment leaves
// one or the other. Not flushed to disk: a pulled card is an ended process, not a lost machine,
// and a flush per command would make every write cost what a card's EEPROM does not.
bool ReplaceFile(const std::string& path, const std::string& text) {
    const std::string fresh = path + ".new";
    {
        std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(fresh.c_str(), path.c_str()) == 0;
}

namespace {

void PutSecret(std::ostringstream& out, const char* name, const Secret16& s) {
    if (s.set) {
        out << name << ' ' << ToHex(s.value.data(), s.value.size()) << ' ' << s.tries_left << ' '
            << s.max_tries << '\n';
    }
}

bool GetSecret(std::istringstream& line, Secret16& s) {
    std::string hex;
    line >> hex >> s.tries_left >> s.max_tries;
    auto value = FromHex(hex);
    if (!value || value->size() != s.value.size() || !line) {
        return false;
    }
    std::copy(value->begin(), value->end(), s.value.begin());
    OPENSSL_cleanse(value->data(), value->size());
    s.set = true;
    return true;
}

}  // namespace

bool SaveCard(const Card& card, const std::string& path) {
    std::ostringstream out;
    out << kMagic << '\n' << "life " << static_cast<int>(card.security.life) << '\n';
    PutSecret(out, "pin", card.security.pin);
    PutSecret(out, "puk", card.security.puk);
    for (std::size_t i = 0; i < kKeySlots; ++i) {
        const EVP_PKEY* key = card.security.keys[i].get();
        if (key == nullptr) {
            continue;
        }
        unsigned char* der = nullptr;
        const int len = i2d_PrivateKey(key, &der);
        if (len <= 0) {
            return false;
        }
        out << "key " << i << ' ' << ToHex(der, static_cast<std::size_t>(len)) << '\n';
        OPENSSL_clear_free(der, static_cast<std::size_t>(len));
    }
    card.files.ForEach([&](const std::vector<std::uint16_t>& fids, const CardFile& f) {
        out << "file ";
        for (std::uint16_t fid : fids) {
            const std::uint8_t b[2] = {static_cast<std::uint8_t>(fid >> 8),
                                       static_cast<std::uint8_t>(fid)};
            out << ToHex(b, 2);
        }
        out << ' ' << ToHex(f.fcp) << ' ' << (f.is_df ? "-" : ToHex(f.data)) << '\n';
    });
    std::string text = out.str();
    const bool ok = ReplaceFile(path, text);
    OPENSSL_cleanse(text.data(), text.size());
    return ok;
}

bool LoadCard(Card& card, const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return true;  // a fresh card
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool ok = std::getline(in, line) && line == kMagic;
    while (ok && std::getline(in, line)) {
        ++number;
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "life") {
            int life = 0;
            fields >> life;
            card.security.life = static_cast<Life>(life);
        } else if (kind == "pin" || kind == "puk") {
            ok = GetSecret(fields, kind == "pin" ? card.security.pin : card.security.puk);
        } else if (kind == "key") {
            std::size_t slot = kKeySlots;
            std::string hex;
            fields >> slot >> hex;
            auto der = FromHex(hex);
            const unsigned char* p = der ? der->data() : nullptr;
            ok = der && slot < kKeySlots;
            if (ok) {
                card.security.keys[slot].reset(
                    d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der->size())));
                ok = card.security.keys[slot] != nullptr;
                OPENSSL_cleanse(der->data(), der->size());
            }
        } else if (kind == "file") {
            std::string fids, fcp, data;
            fields >> fids >> fcp >> data;
            auto path_bytes = FromHex(fids);
            auto fcp_bytes = FromHex(fcp);
            auto data_bytes = data == "-" ? std::optional<Bytes>(Bytes{}) : FromHex(data);
            ok = path_bytes && fcp_bytes && data_bytes && path_bytes->size() % 2 == 0;
            if (ok) {
                std::vector<std::uint16_t> chain;
                for (std::size_t i = 0; i < path_bytes->size(); i += 2) {
                    chain.push_back(
                        static_cast<std::uint16_t>(((*path_bytes)[i] << 8) | (*path_bytes)[i + 1]));
                }
                ok = card.files.Restore(chain, std::move(*fcp_bytes), std::move(*data_bytes));
            }
        } else {
            ok = kind.empty();
        }
    }
    OPENSSL_cleanse(text.data(), text.size());
    if (!ok) {
        error = path + ": unreadable card state at line " + std::to_string(number + 1);
    }
    return ok;
}

}  // namespace qe::sim::card
