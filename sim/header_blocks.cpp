#include "sim/header_blocks.h"

#include <array>
#include <cctype>

#include <strings.h>

#include <openssl/evp.h>

#include "toolkit/bytes.h"

namespace qe::sim {
namespace {

constexpr std::array<const char*, 7> kKnownHeaders{
    "ENROLL_VERSION",     "ENROLL_LANG", "TOKEN_HASH",        "TOKEN_SERIAL",
    "TOKEN_MANUFACTURER", "TOKEN_MODEL", "TOKEN_PRODUCT_NAME"};

bool StartsWithFamily(const std::string& name) {
    auto startsWith = [&](const char* prefix) {
        const std::string p(prefix);
        if (name.size() < p.size()) {
            return false;
        }
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (std::toupper(static_cast<unsigned char>(name[i])) != p[i]) {
                return false;
            }
        }
        return true;
    };
    return startsWith("ENROLL_") || startsWith("TOKEN_");
}

bool IsKnown(const std::string& name) {
    for (const char* known : kKnownHeaders) {
        if (strcasecmp(known, name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

// Every header of the block once; a repeated one could carry two identities.
std::string RequireOnce(const httplib::Request& request, const std::vector<const char*>& names) {
    for (const char* name : names) {
        const std::size_t count = request.get_header_value_count(name);
        if (count == 0) {
            return std::string("Antetele cererii sunt incomplete: lipsește ") + name + ".";
        }
        if (count > 1) {
            return std::string("Antetul ") + name + " apare de mai multe ori.";
        }
    }
    return {};
}

}  // namespace

HeaderLines EnrollHeaders(const httplib::Request& request) {
    HeaderLines lines;
    for (const char* name : kKnownHeaders) {
        for (std::size_t i = 0; i < request.get_header_value_count(name); ++i) {
            lines.emplace_back(name, request.get_header_value(name, i));
        }
    }
    for (const auto& [name, value] : request.headers) {
        if (StartsWithFamily(name) && !IsKnown(name)) {
            lines.emplace_back(name, value);
        }
    }
    return lines;
}

std::string ReadTokenHashBlock(const httplib::Request& request, std::string& tokenHash) {
    if (std::string refusal = RequireOnce(request, {"ENROLL_VERSION", "ENROLL_LANG", "TOKEN_HASH"});
        !refusal.empty()) {
        return refusal;
    }
    const std::string hash = request.get_header_value("TOKEN_HASH");
    bool wellFormed = hash.size() == 40;
    for (const char c : hash) {
        wellFormed = wellFormed && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    if (!wellFormed) {
        return "Antetul TOKEN_HASH nu este valid: sunt așteptate 40 de cifre hexazecimale mici.";
    }
    tokenHash = hash;
    return {};
}

std::string ReadTokenDescriptionBlock(const httplib::Request& request, std::string& tokenHash) {
    if (std::string refusal =
            RequireOnce(request, {"ENROLL_VERSION", "ENROLL_LANG", "TOKEN_SERIAL",
                                  "TOKEN_MANUFACTURER", "TOKEN_MODEL", "TOKEN_PRODUCT_NAME"});
        !refusal.empty()) {
        return refusal;
    }
    const std::string serial = request.get_header_value("TOKEN_SERIAL");
    if (serial.empty()) {
        return "Antetul TOKEN_SERIAL este gol.";
    }
    tokenHash = TokenHashOf(serial, request.get_header_value("TOKEN_MANUFACTURER"),
                            request.get_header_value("TOKEN_MODEL"));
    return {};
}

std::string TokenHashOf(const std::string& serial, const std::string& manufacturer,
                        const std::string& model) {
    const std::string description = serial + manufacturer + model;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(description.data(), description.size(), digest, &size, EVP_sha1(), nullptr) !=
        1) {
        return {};
    }
    return ToHexLower(digest, size);
}

}  // namespace qe::sim
