#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "toolkit/bytes.h"

namespace qe {

// A token as a child saw it: what identifies it (library, slot, serial) and its maker's fields,
// the text fields without their padding.
struct SeenToken {
    std::string module;
    CK_SLOT_ID slotId = 0;
    std::string serial;
    std::string manufacturer;
    std::string model;
};

// A certificate on a surveyed token, by its number in the slot's list, with its issuer (DER).
struct SeenCertificate {
    CK_SLOT_ID slotId = 0;
    std::size_t number = 0;
    Bytes issuer;
};

// What a child of the doctor hands back: a library's section (the lines below its title), the
// initialised tokens it surveyed and their certificates; or the tokens the wizard's listing found.
struct ChildReport {
    bool complete = false;  // the child reached its end; nothing is used otherwise
    std::vector<std::string> lines;
    std::vector<SeenToken> tokens;
    std::vector<SeenCertificate> certificates;
    // The descriptions of the library's slots that hold a token: readers' names for a library
    // over the card service.
    std::vector<std::string> readers;
};

// One item a line, its words hex-encoded, an "end" line last.
std::string FormatChildReport(const ChildReport& report);
ChildReport ParseChildReport(const std::string& text);

}  // namespace qe
