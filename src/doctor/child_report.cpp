#include "doctor/child_report.h"

#include <cstdlib>
#include <sstream>

namespace qe {
namespace {

// "x" and the hex digits: a word even when the text is empty or holds blanks.
std::string Word(const std::string& text) {
    return "x" + ToHexLower(ToBytes(text));
}

std::string Word(const Bytes& bytes) {
    return "x" + ToHexLower(bytes);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The bytes of a Word; empty when it is not one.
Bytes Unword(const std::string& word) {
    Bytes bytes;
    if (word.empty() || word[0] != 'x' || word.size() % 2 == 0) {
        return bytes;
    }
    for (std::size_t i = 1; i < word.size(); i += 2) {
        const int high = HexDigit(word[i]);
        const int low = HexDigit(word[i + 1]);
        if (high < 0 || low < 0) {
            return {};
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

unsigned long Number(const std::string& word) {
    return std::strtoul(word.c_str(), nullptr, 10);
}

}  // namespace

std::string FormatChildReport(const ChildReport& report) {
    std::string text;
    for (const std::string& line : report.lines) {
        text += "line " + line + "\n";
    }
    for (const SeenToken& token : report.tokens) {
        text += "token " + Word(token.module) + " " + std::to_string(token.slotId) + " " +
                Word(token.serial) + " " + Word(token.manufacturer) + " " + Word(token.model) +
                "\n";
    }
    for (const SeenCertificate& certificate : report.certificates) {
        text += "certificate " + std::to_string(certificate.slotId) + " " +
                std::to_string(certificate.number) + " " + Word(certificate.issuer) + "\n";
    }
    for (const std::string& reader : report.readers) {
        text += "reader " + Word(reader) + "\n";
    }
    return text + "end\n";
}

ChildReport ParseChildReport(const std::string& text) {
    ChildReport report;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        std::string a;
        std::string b;
        std::string c;
        std::string d;
        std::string e;
        words >> a >> b >> c >> d >> e;
        if (kind == "line") {
            report.lines.push_back(line.substr(std::min<std::size_t>(5, line.size())));
        } else if (kind == "token") {
            report.tokens.push_back({ToString(Unword(a)), Number(b), ToString(Unword(c)),
                                     ToString(Unword(d)), ToString(Unword(e))});
        } else if (kind == "certificate") {
            report.certificates.push_back({Number(a), Number(b), Unword(c)});
        } else if (kind == "reader") {
            report.readers.push_back(ToString(Unword(a)));
        } else if (kind == "end") {
            report.complete = true;
        }
    }
    return report;
}

}  // namespace qe
