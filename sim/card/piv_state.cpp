#include <fstream>
#include <iterator>
#include <sstream>

#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include "sim/card/piv_card.h"
#include "sim/card/state_file.h"

namespace qe::sim::card {
namespace {

constexpr const char* kMagic = "quorvane-piv-state 1";
constexpr std::uint32_t kChuid = 0x5FC102, kCcc = 0x5FC107, kAuthenticationCert = 0x5FC105;

Bytes Random(std::size_t n) {
    Bytes out(n);
    RAND_bytes(out.data(), static_cast<int>(n));
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes WithLength(std::uint8_t tag, const Bytes& value) {
    Bytes out{tag};
    if (value.size() >= 0x100) {
        out.insert(out.end(), {0x82, static_cast<std::uint8_t>(value.size() >> 8),
                               static_cast<std::uint8_t>(value.size())});
    } else if (value.size() >= 0x80) {
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(value.size())});
    } else {
        out.push_back(static_cast<std::uint8_t>(value.size()));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

std::optional<Bytes> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

bool SavePiv(const PivCard& card, const std::string& path) {
    std::ostringstream out;
    out << kMagic << '\n'
        << "pin " << ToHex(card.pin.data(), card.pin.size()) << ' ' << card.pin_tries_left << '\n'
        << "serial " << card.serial << '\n';
    for (const auto& [slot, key] : card.keys) {
        unsigned char* der = nullptr;
        const int len = i2d_PrivateKey(key.get(), &der);
        if (len <= 0) {
            return false;
        }
        out << "key " << ToHex(&slot, 1) << ' ' << ToHex(der, static_cast<std::size_t>(len))
            << '\n';
        OPENSSL_clear_free(der, static_cast<std::size_t>(len));
    }
    for (const auto& [tag, value] : card.objects) {
        out << "object " << std::hex << tag << std::dec << ' ' << ToHex(value) << '\n';
    }
    std::string text = out.str();
    const bool ok = ReplaceFile(path, text);
    OPENSSL_cleanse(text.data(), text.size());
    return ok;
}

bool LoadPiv(PivCard& card, const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": no PIV card state (made with --provision)";
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool ok = std::getline(in, line) && line == kMagic;
    while (ok && std::getline(in, line)) {
        ++number;
        std::istringstream fields(line);
        std::string kind, first, second;
        fields >> kind >> first >> second;
        if (kind == "pin") {
            auto value = FromHex(first);
            ok = value && value->size() == card.pin.size();
            if (ok) {
                std::copy(value->begin(), value->end(), card.pin.begin());
                OPENSSL_cleanse(value->data(), value->size());
                card.pin_tries_left = std::stoi(second);
            }
        } else if (kind == "serial") {
            card.serial = static_cast<std::uint32_t>(std::stoul(first));
        } else if (kind == "key") {
            auto slot = FromHex(first);
            auto der = FromHex(second);
            const unsigned char* p = der ? der->data() : nullptr;
            ok = slot && slot->size() == 1 && der;
            if (ok) {
                card.keys[(*slot)[0]].reset(
                    d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der->size())));
                ok = card.keys[(*slot)[0]] != nullptr;
                OPENSSL_cleanse(der->data(), der->size());
            }
        } else if (kind == "object") {
            auto value = FromHex(second);
            ok = value.has_value();
            if (ok) {
                card.objects[static_cast<std::uint32_t>(std::stoul(first, nullptr, 16))] =
                    std::move(*value);
            }
        } else {
            ok = kind.empty();
        }
    }
    OPENSSL_cleanse(text.data(), text.size());
    if (!ok) {
        error = path + ": unreadable PIV card state at line " + std::to_string(number + 1);
    }
    return ok;
}

bool ProvisionPiv(PivCard& card, const std::string& pin, const std::string& certificate_der,
                  const std::string& key_pem, std::string& error) {
    if (pin.size() < 4 || pin.size() > card.pin.size()) {
        error = "a PIV PIN has 4 to 8 characters";
        return false;
    }
    const auto der = ReadAll(certificate_der);
    FILE* key_file = std::fopen(key_pem.c_str(), "r");
    Pkey key(key_file ? PEM_read_PrivateKey(key_file, nullptr, nullptr, nullptr) : nullptr);
    if (key_file != nullptr) {
        std::fclose(key_file);
    }
    const unsigned char* p = der ? der->data() : nullptr;
    X509* certificate = der ? d2i_X509(nullptr, &p, static_cast<long>(der->size())) : nullptr;
    const bool matches = certificate && key && EVP_PKEY_get_bits(key.get()) == 2048 &&
                         X509_check_private_key(certificate, key.get()) == 1;
    X509_free(certificate);
    if (!matches) {
        error = "the certificate and the RSA-2048 key do not belong together, or do not load";
        return false;
    }
    card.pin.fill(0xFF);
    std::copy(pin.begin(), pin.end(), card.pin.begin());
    card.pin_tries_left = 3;
    const Bytes serial = Random(4);
    card.serial = (std::uint32_t{serial[0]} << 24 | std::uint32_t{serial[1]} << 16 |
                   std::uint32_t{serial[2]} << 8 | serial[3]) &
                  0x7FFFFFFF;
    card.keys[0x9A] = std::move(key);
    // FASC-N of a card without an agency, a random GUID, an expiry, an empty signature.
    const Bytes fascn = {0xD4, 0xE7, 0x39, 0xDA, 0x73, 0x9C, 0xED, 0x39, 0xCE,
                         0x73, 0x9D, 0x83, 0x68, 0x58, 0x21, 0x08, 0x42, 0x10,
                         0x84, 0x21, 0xC8, 0x42, 0x10, 0xC3, 0xEB};
    card.objects[kChuid] = Cat({WithLength(0x30, fascn),
                                WithLength(0x34, Random(16)),
                                WithLength(0x35, Bytes{'2', '0', '3', '0', '1', '2', '3', '1'}),
                                {0x3E, 0x00, 0xFE, 0x00}});
    card.objects[kCcc] =
        Cat({WithLength(0xF0, Cat({{0xA0, 0x00, 0x00, 0x01, 0x16, 0xFF, 0x02}, Random(14)})),
             {0xF1, 0x01, 0x21, 0xF2, 0x01, 0x21, 0xF3, 0x00, 0xF4, 0x01, 0x00, 0xF5, 0x01, 0x10,
              0xF6, 0x00, 0xF7, 0x00, 0xFA, 0x00, 0xFB, 0x00, 0xFC, 0x00, 0xFD, 0x00, 0xFE, 0x00}});
    card.objects[kAuthenticationCert] =
        Cat({WithLength(0x70, *der), {0x71, 0x01, 0x00, 0xFE, 0x00}});
    return true;
}

}  // namespace qe::sim::card
