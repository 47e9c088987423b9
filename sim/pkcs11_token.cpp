#include "sim/pkcs11_token.h"

#include <cstdio>
#include <cstring>

#include <dlfcn.h>

namespace qe::sim {
namespace {

struct RvName {
    CK_RV rv;
    const char* name;
};

constexpr RvName kRvNames[] = {
    {CKR_OK, "CKR_OK"},
    {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
    {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
    {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
    {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
    {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
    {CKR_ATTRIBUTE_READ_ONLY, "CKR_ATTRIBUTE_READ_ONLY"},
    {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
    {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
    {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
    {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
    {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
    {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
    {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
    {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
    {CKR_TEMPLATE_INCOMPLETE, "CKR_TEMPLATE_INCOMPLETE"},
    {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
    {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
    {CKR_TOKEN_WRITE_PROTECTED, "CKR_TOKEN_WRITE_PROTECTED"},
    {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN"},
    {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
    {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
};

std::string PaddedLabel(const std::string& label) {
    std::string padded = label.substr(0, 32);
    padded.resize(32, ' ');
    return padded;
}

}  // namespace

std::string DescribeRv(const char* function, CK_RV rv) {
    const char* name = "unknown result";
    for (const RvName& entry : kRvNames) {
        if (entry.rv == rv) {
            name = entry.name;
        }
    }
    char code[32];
    std::snprintf(code, sizeof code, " (0x%lX)", static_cast<unsigned long>(rv));
    return std::string(function) + ": " + name + code;
}

std::unique_ptr<Pkcs11Module> Pkcs11Module::Load(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        error = "cannot load " + path + ": " + (reason != nullptr ? reason : "");
        return nullptr;
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST* functions = nullptr;
    if (getFunctionList == nullptr) {
        error = path + " has no C_GetFunctionList";
    } else if (const CK_RV rv = getFunctionList(&functions); rv != CKR_OK) {
        error = DescribeRv("C_GetFunctionList", rv);
    } else if (const CK_RV init = functions->C_Initialize(nullptr); init != CKR_OK) {
        error = DescribeRv("C_Initialize", init);
    } else {
        return std::unique_ptr<Pkcs11Module>(new Pkcs11Module(library, functions));
    }
    dlclose(library);
    return nullptr;
}

Pkcs11Module::~Pkcs11Module() {
    functions_->C_Finalize(nullptr);
    dlclose(library_);
}

bool Pkcs11Module::FindSlotByLabel(const std::string& label, CK_SLOT_ID& slot,
                                   std::string& error) const {
    CK_ULONG count = 0;
    if (const CK_RV rv = functions_->C_GetSlotList(CK_TRUE, nullptr, &count); rv != CKR_OK) {
        error = DescribeRv("C_GetSlotList", rv);
        return false;
    }
    std::vector<CK_SLOT_ID> slots(count);
    if (const CK_RV rv = functions_->C_GetSlotList(CK_TRUE, slots.data(), &count); rv != CKR_OK) {
        error = DescribeRv("C_GetSlotList", rv);
        return false;
    }
    slots.resize(count);
    const std::string wanted = PaddedLabel(label);
    int found = 0;
    for (const CK_SLOT_ID candidate : slots) {
        CK_TOKEN_INFO info{};
        if (functions_->C_GetTokenInfo(candidate, &info) == CKR_OK &&
            std::memcmp(info.label, wanted.data(), sizeof info.label) == 0) {
            slot = candidate;
            ++found;
        }
    }
    if (found != 1) {
        error = found == 0 ? "no token labelled \"" + label + "\""
                           : "several tokens labelled \"" + label + "\"";
        return false;
    }
    return true;
}

Pkcs11Session::~Pkcs11Session() {
    if (loggedIn_) {
        f_->C_Logout(session_);
    }
    if (session_ != CK_INVALID_HANDLE) {
        f_->C_CloseSession(session_);
    }
}

bool Pkcs11Session::OpenAndLogin(const Secret& pin, std::string& error) {
    if (const CK_RV rv = f_->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                           nullptr, &session_);
        rv != CKR_OK) {
        session_ = CK_INVALID_HANDLE;
        error = DescribeRv("C_OpenSession", rv);
        return false;
    }
    std::vector<CK_UTF8CHAR> pinBytes(pin.data(), pin.data() + pin.size());
    const CK_RV rv = f_->C_Login(session_, CKU_USER, pinBytes.data(), pinBytes.size());
    Wipe(pinBytes.data(), pinBytes.size());
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        error = DescribeRv("C_Login", rv);
        return false;
    }
    loggedIn_ = rv == CKR_OK;
    return true;
}

bool Pkcs11Session::GenerateRsaKeyPair(CK_ULONG bits, const std::string& label,
                                       bool alwaysAuthenticate, CK_OBJECT_HANDLE& publicKey,
                                       CK_OBJECT_HANDLE& privateKey, std::string& error) {
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    std::vector<char> labelBytes(label.begin(), label.end());
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_CLASS, &publicClass, sizeof publicClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_LABEL, labelBytes.data(), labelBytes.size()},
        {CKA_MODULUS_BITS, &bits, sizeof bits},
        {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
        {CKA_VERIFY, &yes, sizeof yes},
        {CKA_ENCRYPT, &yes, sizeof yes},
    };
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_CLASS, &privateClass, sizeof privateClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_LABEL, labelBytes.data(), labelBytes.size()},
        {CKA_SIGN, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_ALWAYS_AUTHENTICATE, &yes, sizeof yes},
    };
    const CK_ULONG privateCount =
        sizeof privateTemplate / sizeof privateTemplate[0] - (alwaysAuthenticate ? 0 : 1);
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    const CK_RV rv = f_->C_GenerateKeyPair(session_, &mechanism, publicTemplate,
                                           sizeof publicTemplate / sizeof publicTemplate[0],
                                           privateTemplate, privateCount, &publicKey, &privateKey);
    if (rv != CKR_OK) {
        error = DescribeRv("C_GenerateKeyPair", rv);
        return false;
    }
    return true;
}

bool Pkcs11Session::ReadAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes& value,
                                  std::string& error) {
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = f_->C_GetAttributeValue(session_, object, &attribute, 1);
    if (rv == CKR_OK) {
        value.resize(attribute.ulValueLen);
        attribute.pValue = value.data();
        rv = f_->C_GetAttributeValue(session_, object, &attribute, 1);
    }
    if (rv != CKR_OK) {
        error = DescribeRv("C_GetAttributeValue", rv);
        return false;
    }
    value.resize(attribute.ulValueLen);
    return true;
}

bool Pkcs11Session::SetAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                                 const Bytes& value, std::string& error) {
    Bytes copy = value;
    CK_ATTRIBUTE attribute{type, copy.data(), copy.size()};
    if (const CK_RV rv = f_->C_SetAttributeValue(session_, object, &attribute, 1); rv != CKR_OK) {
        error = DescribeRv("C_SetAttributeValue", rv);
        return false;
    }
    return true;
}

bool Pkcs11Session::CreateOtherObject(bool secretKey, const std::string& label,
                                      std::string& error) {
    CK_OBJECT_CLASS objectClass = secretKey ? CKO_SECRET_KEY : CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG length = 16;
    char id[] = "OBJECT ID";
    std::vector<char> labelBytes(label.begin(), label.end());
    CK_ATTRIBUTE templ[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, labelBytes.data(), labelBytes.size()},
        // a data object has no identifier: the same bytes stand as its value
        {secretKey ? CKA_ID : CKA_VALUE, id, sizeof id - 1},
        {CKA_VALUE_LEN, &length, sizeof length},
    };
    CK_MECHANISM aes{CKM_AES_KEY_GEN, nullptr, 0};
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    const CK_RV rv = secretKey ? f_->C_GenerateKey(session_, &aes, templ, 5, &object)
                               : f_->C_CreateObject(session_, templ, 4, &object);
    if (rv != CKR_OK) {
        error = DescribeRv(secretKey ? "C_GenerateKey" : "C_CreateObject", rv);
        return false;
    }
    return true;
}

bool Pkcs11Session::CreateCertificate(const Bytes& der, const Bytes& subject, const Bytes& issuer,
                                      const Bytes& serial, const Bytes& id,
                                      const std::string& label, std::string& error) {
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    Bytes value = der, subjectBytes = subject, issuerBytes = issuer, serialBytes = serial,
          idBytes = id;
    std::vector<char> labelBytes(label.begin(), label.end());
    CK_ATTRIBUTE templ[] = {
        {CKA_CLASS, &certificateClass, sizeof certificateClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &no, sizeof no},
        {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType},
        {CKA_SUBJECT, subjectBytes.data(), subjectBytes.size()},
        {CKA_ISSUER, issuerBytes.data(), issuerBytes.size()},
        {CKA_VALUE, value.data(), value.size()},
        {CKA_SERIAL_NUMBER, serialBytes.data(), serialBytes.size()},
        {CKA_ID, idBytes.data(), idBytes.size()},
        {CKA_LABEL, labelBytes.data(), labelBytes.size()},
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    if (const CK_RV rv =
            f_->C_CreateObject(session_, templ, sizeof templ / sizeof templ[0], &object);
        rv != CKR_OK) {
        error = DescribeRv("C_CreateObject", rv);
        return false;
    }
    return true;
}

}  // namespace qe::sim
