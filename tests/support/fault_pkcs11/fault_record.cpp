// The fault module's record of each call, and the rules that act before the token sees it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "fault_module.h"

namespace qe::fault {

std::string Num(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

std::string TemplateText(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool values) {
    std::string text = "[";
    for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
        text += (i == 0 ? "" : ",") + Num(attributes[i].type) + (values ? "=" : "");
        const auto* bytes = static_cast<const unsigned char*>(attributes[i].pValue);
        for (CK_ULONG k = 0; values && bytes != nullptr && k < attributes[i].ulValueLen; ++k) {
            text += "0123456789abcdef"[bytes[k] >> 4];
            text += "0123456789abcdef"[bytes[k] & 15];
        }
    }
    return text + "]";
}

std::string MechanismText(const CK_MECHANISM* mechanism) {
    return " mech=" + Num(mechanism != nullptr ? mechanism->mechanism : ~0UL);
}

Call::Call(const std::string& name, std::string details)
    : text_(name + details), start_(std::chrono::steady_clock::now()) {
    if (g.config.crash.count(name) != 0) {
        std::abort();
    }
    while (g.config.hang.count(name) != 0) {
        sleep(3600);
    }
    if (const auto wait = g.config.waitFor.find(name); wait != g.config.waitFor.end()) {
        while (access(wait->second.c_str(), F_OK) != 0) {
            usleep(10000);
        }
    }
    if (const auto delay = g.config.delay.find(name); delay != g.config.delay.end()) {
        usleep(static_cast<useconds_t>(Number(delay->second) * 1000));
    }
    if (g.config.noise.count(name) != 0) {
        std::fputs("a library talking", stdout);
        std::fflush(stdout);
    }
    bool counted = false;
    for (CallRule& rule : g.config.calls) {
        counted = counted || rule.call == name;
        if (rule.call == name && ++rule.seen > rule.skip && rule.seen - rule.skip <= rule.times) {
            (rule.act == 'e' ? exit_ : rule_) = &rule;
            if (rule.act == 'f') {
                g.real->C_Finalize(nullptr);
            }
            if (rule.act == 'r') {  // another process reset the card
                std::for_each(g.sessions.begin(), g.sessions.end(), g.real->C_Logout);
            }
        }
    }
    static const CallRule notInitialised{"", CKR_CRYPTOKI_NOT_INITIALIZED};
    if (On("fork-guard") && g.initialiser != 0 && g.initialiser != getpid() &&
        name != "C_Initialize") {
        rule_ = &notInitialised;
    }
    if (counted && !g.config.seenFile.empty()) {
        SaveSeen();
    }
    if (exit_ != nullptr && !exit_->forward) {
        _exit(kExitStatus);
    }
}

}  // namespace qe::fault
