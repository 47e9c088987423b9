#include "token/pkcs11_template.h"

#include <cstring>

#include "token/pkcs11_call.h"
#include "toolkit/secret.h"

namespace qe {

AttributeTemplate::~AttributeTemplate() {
    for (Bytes& value : values_) {
        Wipe(value);
    }
}

AttributeTemplate& AttributeTemplate::Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    return Data(type, &value, sizeof value);
}

AttributeTemplate& AttributeTemplate::Bool(CK_ATTRIBUTE_TYPE type, bool value) {
    const CK_BBOOL flag = value ? CK_TRUE : CK_FALSE;
    return Data(type, &flag, sizeof flag);
}

AttributeTemplate& AttributeTemplate::Data(CK_ATTRIBUTE_TYPE type, const void* data,
                                           std::size_t size) {
    Bytes& stored = values_.emplace_back(size);
    if (size != 0) {
        std::memcpy(stored.data(), data, size);
    }
    attributes_.push_back(CK_ATTRIBUTE{type, stored.data(), static_cast<CK_ULONG>(size)});
    return *this;
}

CK_RV ReadAttribute(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                    CK_ATTRIBUTE_TYPE type, Bytes& value) {
    value.clear();
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = Checked(fn->C_GetAttributeValue(session, object, &attribute, 1));
    if (rv != CKR_OK) {
        return rv;
    }
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        return Checked(CKR_ATTRIBUTE_TYPE_INVALID);
    }
    if (attribute.ulValueLen == 0) {
        return CKR_OK;
    }
    // A broken library must not make us try to allocate whatever length it claims.
    constexpr CK_ULONG kMaxAttributeSize = 64UL << 20;
    if (attribute.ulValueLen > kMaxAttributeSize) {
        return Checked(CKR_HOST_MEMORY);
    }
    Bytes buffer(attribute.ulValueLen);
    attribute.pValue = buffer.data();
    rv = Checked(fn->C_GetAttributeValue(session, object, &attribute, 1));
    if (rv != CKR_OK) {
        Wipe(buffer);
        return rv;
    }
    // A library may report a shorter value the second time; never trust it to grow.
    if (attribute.ulValueLen < buffer.size()) {
        buffer.resize(attribute.ulValueLen);
    }
    value = std::move(buffer);
    return CKR_OK;
}

CK_RV ReadUlongAttribute(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                         CK_ATTRIBUTE_TYPE type, CK_ULONG& value) {
    CK_ULONG result = 0;
    CK_ATTRIBUTE attribute{type, &result, sizeof result};
    const CK_RV rv = Checked(fn->C_GetAttributeValue(session, object, &attribute, 1));
    if (rv != CKR_OK) {
        return rv;
    }
    if (attribute.ulValueLen != sizeof result) {
        return Checked(CKR_ATTRIBUTE_VALUE_INVALID);
    }
    value = result;
    return CKR_OK;
}

}  // namespace qe
