#include "support/softhsm.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "support/hex.h"
#include "support/outside_step.h"
#include "token/certificate_parts.h"
#include "token/module_list.h"
#include "token/open_token.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_template.h"
#include "token/pki.h"

namespace qe::test {
namespace {

void Require(CK_RV rv, const std::string& what) {
    if (rv != CKR_OK) {
        throw std::runtime_error(what + " failed: " + std::to_string(rv));
    }
}

std::string PaddedLabel(const std::string& label) {
    std::string padded(32, ' ');
    padded.replace(0, std::min<std::size_t>(label.size(), 32), label.substr(0, 32));
    return padded;
}

std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> ParseTemplate(const std::string& text) {
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> attributes;
    std::stringstream items(text.substr(1, text.size() - 2));
    std::string item;
    while (std::getline(items, item, ',')) {
        const std::size_t equals = item.find('=');
        const CK_ATTRIBUTE_TYPE type = std::stoul(item.substr(0, equals), nullptr, 16);
        attributes.emplace_back(
            type, equals == std::string::npos ? Bytes() : Hex(item.substr(equals + 1)));
    }
    return attributes;
}

// Loads SoftHSM2 and finds the slot whose token has `label` (or, with `initialized` false, the
// first uninitialised one).
CK_SLOT_ID LoadAndFindSlot(Pkcs11Module& module, const std::string& label, bool initialized = true,
                           const std::string& library = SoftHsmLibrary()) {
    std::vector<CK_SLOT_ID> slots;
    Require(LoadWithPresentSlots(test::NoTokenStep(), library, module, slots),
            "loading " + library);
    for (const CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (module.fn()->C_GetTokenInfo(slot, &info) == CKR_OK &&
            ((info.flags & CKF_TOKEN_INITIALIZED) != 0) == initialized &&
            (!initialized || std::memcmp(info.label, PaddedLabel(label).data(), 32) == 0)) {
            return slot;
        }
    }
    throw std::runtime_error("no slot for " + label);
}

}  // namespace

const char* SoftHsmLibrary() {
    return QE_SOFTHSM_LIBRARY;
}
const char* FaultModuleLibrary() {
    return QE_FAULT_PKCS11_LIBRARY;
}
const char* FaultModuleTwinLibrary() {
    return QE_FAULT_PKCS11_TWIN_LIBRARY;
}

Bytes UlongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes BoolBytes(bool value) {
    return Bytes{static_cast<std::uint8_t>(value ? 1 : 0)};
}

SoftHsm::SoftHsm() : dir_("softhsm") {
    const std::string tokens = dir_ / "tokens";
    std::filesystem::create_directories(tokens);
    WriteFile(dir_ / "softhsm2.conf", "directories.tokendir = " + tokens +
                                          "\nobjectstore.backend = file\nlog.level = ERROR\n"
                                          "slots.removable = false\n");
    WriteFaultConfig("");
    for (const auto& [name, value] : {std::pair{"SOFTHSM2_CONF", dir_ / "softhsm2.conf"},
                                      {"XDG_CONFIG_HOME", UserConfigHome()},
                                      {"XDG_CONFIG_DIRS", MachineConfigHome()},
                                      {"XDG_STATE_HOME", dir_ / "state"},
                                      {"QE_FAULT_PKCS11_CONFIG", dir_ / "fault.conf"}}) {
        environment_.emplace_back(name, value.c_str());
    }
}

std::string SoftHsm::InitToken(const std::string& label, const std::string& userPin,
                               const std::string& soPin) {
    Pkcs11Module module;
    const CK_SLOT_ID slot = LoadAndFindSlot(module, label, false);
    CK_FUNCTION_LIST* fn = module.fn();
    const std::string padded = PaddedLabel(label);
    const auto bytes = [](const std::string& text) {
        return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text.data()));
    };
    Require(fn->C_InitToken(slot, bytes(soPin), soPin.size(), bytes(padded)), "C_InitToken");
    Pkcs11Session session;
    Require(session.Open(fn, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION), "C_OpenSession");
    Require(fn->C_Login(session.handle(), CKU_SO, bytes(soPin), soPin.size()), "C_Login SO");
    Require(fn->C_InitPIN(session.handle(), bytes(userPin), userPin.size()), "C_InitPIN");
    CK_TOKEN_INFO info{};
    Require(fn->C_GetTokenInfo(slot, &info), "C_GetTokenInfo");
    return std::string(reinterpret_cast<const char*>(info.serialNumber), 16);
}

SoftHsm::Session::Session(const std::string& label, const std::string& pin,
                          const std::string& library) {
    const CK_SLOT_ID slot = LoadAndFindSlot(module_, label, true, library);
    Require(session_.Open(module_.fn(), slot, CKF_SERIAL_SESSION | CKF_RW_SESSION),
            "C_OpenSession");
    Require(login_.Login(test::NoTokenStep(), module_.fn(), session_.handle(), 0, Secret(pin)),
            "C_Login");
}

Bytes SoftHsm::Session::GenerateRsaKeyPair(CK_ULONG bits, const std::string& id,
                                           const std::string& publicLabel,
                                           const std::string& privateLabel) {
    const std::uint8_t exponent[] = {1, 0, 1};
    AttributeTemplate pub;
    pub.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Ulong(CKA_MODULUS_BITS, bits);
    pub.Data(CKA_PUBLIC_EXPONENT, exponent, sizeof exponent).Text(CKA_LABEL, publicLabel);
    pub.Bool(CKA_VERIFY, true).Bool(CKA_ENCRYPT, true);
    AttributeTemplate priv;
    priv.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_PRIVATE, true).Text(CKA_LABEL, privateLabel);
    priv.Bool(CKA_SIGN, true).Bool(CKA_DECRYPT, true);
    for (AttributeTemplate* keys : {&pub, &priv}) {
        keys->Bool(CKA_TOKEN, true).Text(CKA_ID, id);
    }
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    Require(fn()->C_GenerateKeyPair(handle(), &mechanism, pub.data(), pub.size(), priv.data(),
                                    priv.size(), &publicKey, &privateKey),
            "C_GenerateKeyPair");
    return Attribute(publicKey, CKA_MODULUS);
}

void SoftHsm::Session::CreateCertificate(const Bytes& der, const Bytes& id,
                                         const std::string& label) {
    CertificateParts parts;
    parts.subject = {0x30, 0x00};  // what stays for a certificate without an RSA key
    ParseCertificateParts(der, parts);
    AttributeTemplate object;
    object.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    object.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, false).Text(CKA_LABEL, label).Data(CKA_ID, id);
    object.Data(CKA_SUBJECT, parts.subject).Data(CKA_ISSUER, parts.issuer);
    object.Data(CKA_SERIAL_NUMBER, parts.serialDer).Data(CKA_VALUE, der);
    CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
    Require(fn()->C_CreateObject(handle(), object.data(), object.size(), &created),
            "C_CreateObject");
}

std::vector<std::string> SoftHsm::Session::Objects() {
    AttributeTemplate all;
    std::vector<CK_OBJECT_HANDLE> objects;
    Require(FindAllObjects(fn(), handle(), all, objects), "finding objects");
    std::vector<std::string> lines;
    for (const CK_OBJECT_HANDLE object : objects) {
        lines.emplace_back();
        for (const CK_ATTRIBUTE_TYPE type :
             {CKA_CLASS, CKA_ID, CKA_LABEL, CKA_MODULUS, CKA_VALUE}) {
            Bytes value;
            ReadAttribute(fn(), handle(), object, type, value);  // a secret's value stays unread
            lines.back() += ToHexLower(value) + " ";
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<CK_OBJECT_HANDLE> SoftHsm::Session::Find(CK_OBJECT_CLASS objectClass,
                                                     const Bytes& modulus) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, objectClass);
    if (!modulus.empty()) {
        pattern.Data(CKA_MODULUS, modulus);
    }
    std::vector<CK_OBJECT_HANDLE> objects;
    Require(FindAllObjects(fn(), handle(), pattern, objects), "finding objects");
    return objects;
}

Bytes SoftHsm::Session::Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    Bytes value;
    Require(ReadAttribute(fn(), handle(), object, type, value), "C_GetAttributeValue");
    return value;
}

Bytes SoftHsm::Session::PublicExponent(const Bytes& modulus) {
    return Attribute(Find(CKO_PUBLIC_KEY, modulus).at(0), CKA_PUBLIC_EXPONENT);  // throws if none
}

void SoftHsm::WriteModuleList(const std::vector<std::string>& names) {
    const std::string key = UserConfigHome() + "/" + kModuleKeyPath;
    std::filesystem::create_directories(key);
    std::string data;
    for (const std::string& name : names) {
        data += name + "\n";
    }
    WriteFile(key + "/" + kModuleValueName, data);
}

std::vector<RecordedCall> SoftHsm::RecordedCalls() const {
    std::vector<RecordedCall> calls;
    std::istringstream lines(ReadFile(RecordPath()));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        RecordedCall call;
        words >> call.name;
        std::string word;
        while (words >> word) {
            if (word == "->") {
                words >> word;
                call.rv = std::stoul(word, nullptr, 16);
            } else if (word.front() == '[') {
                call.templates.push_back(ParseTemplate(word));
            } else if (const std::size_t equals = word.find('='); equals != std::string::npos) {
                call.fields[word.substr(0, equals)] = word.substr(equals + 1);
            }
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

std::vector<zel_token> ListedTokens(const std::string& module) {
    std::vector<zel_token> tokens;
    CPKI(test::NoTokenStep()).ListTokens({module}, tokens);
    return tokens;
}

std::vector<std::string> CallNames(const std::vector<RecordedCall>& calls,
                                   const std::vector<std::string>& only) {
    std::vector<std::string> names;
    for (const RecordedCall& call : calls) {
        if (only.empty() || std::find(only.begin(), only.end(), call.name) != only.end()) {
            names.push_back(call.name);
        }
    }
    return names;
}

}  // namespace qe::test
