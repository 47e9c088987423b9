#include "sim/card/apdu.h"

#include <openssl/crypto.h>

namespace qe::sim::card {

std::optional<Apdu> ParseApdu(const Bytes& raw) {
    if (raw.size() < 4) {
        return std::nullopt;
    }
    Apdu a{raw[0], raw[1], raw[2], raw[3], {}, 0};
    const std::size_t n = raw.size();
    if (n == 4) {
        return a;
    }
    if (n == 5) {
        a.le = raw[4] == 0 ? 256 : raw[4];
        return a;
    }
    if (raw[4] != 0) {  // short Lc
        const std::size_t lc = raw[4];
        if (n != 5 + lc && n != 6 + lc) {
            return std::nullopt;
        }
        a.data.assign(raw.begin() + 5, raw.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
        if (n == 6 + lc) {
            a.le = raw[n - 1] == 0 ? 256 : raw[n - 1];
        }
        return a;
    }
    if (n < 7) {
        return std::nullopt;
    }
    const std::size_t word = (std::size_t{raw[5]} << 8) | raw[6];
    if (n == 7) {  // extended Le only
        a.le = word == 0 ? 65536 : word;
        return a;
    }
    if (n != 7 + word && n != 9 + word) {
        return std::nullopt;
    }
    a.data.assign(raw.begin() + 7, raw.begin() + 7 + static_cast<std::ptrdiff_t>(word));
    if (n == 9 + word) {
        const std::size_t le = (std::size_t{raw[n - 2]} << 8) | raw[n - 1];
        a.le = le == 0 ? 65536 : le;
    }
    return a;
}

std::string ToHex(const std::uint8_t* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0xF]);
    }
    return out;
}

std::optional<Bytes> FromHex(const std::string& hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]);
        const int lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>((hi << 4) | lo));
    }
    return out;
}

std::optional<Bytes> FindTag(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t tag) {
    while (p + 2 <= end) {
        const std::uint8_t t = *p++;
        std::size_t len = *p++;
        if (len == 0x81 || len == 0x82) {
            const int extra = len == 0x81 ? 1 : 2;
            if (end - p < extra) {
                return std::nullopt;
            }
            len = extra == 1 ? p[0] : (std::size_t{p[0]} << 8) | p[1];
            p += extra;
        } else if (len > 0x7F) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(end - p) < len) {
            return std::nullopt;
        }
        if (t == tag) {
            return Bytes(p, p + len);
        }
        p += len;
    }
    return std::nullopt;
}

std::optional<Apdu> GatherChain(const Apdu& part, std::optional<Apdu>& chained, Response& early) {
    const bool more = (part.cla & 0x10) != 0;
    Apdu whole = part;
    whole.cla = static_cast<std::uint8_t>(whole.cla & ~0x10);
    if (chained &&
        (chained->ins != whole.ins || chained->p1 != whole.p1 || chained->p2 != whole.p2)) {
        chained.reset();
        early = Status(kSwChainingUnsupported);
        return std::nullopt;
    }
    if (chained) {
        whole.data.insert(whole.data.begin(), chained->data.begin(), chained->data.end());
        OPENSSL_cleanse(chained->data.data(), chained->data.size());
        chained.reset();
    }
    if (more) {
        early = Status(whole.data.size() > 4096 ? kSwWrongLength : kSwOk);
        if (whole.data.size() <= 4096) {
            chained = std::move(whole);
        }
        return std::nullopt;
    }
    return whole;
}

}  // namespace qe::sim::card
