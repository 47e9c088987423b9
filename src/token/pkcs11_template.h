#pragma once

#include <cstddef>
#include <deque>
#include <string_view>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "toolkit/bytes.h"

namespace qe {

// A CK_ATTRIBUTE template that owns its values, written the way the attribute tables read:
//   AttributeTemplate t;
//   t.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bool(CKA_TOKEN, true).Data(CKA_VALUE, der);
// Attributes keep the order they were added in. Values are wiped when the template goes.
class AttributeTemplate {
public:
    AttributeTemplate() = default;
    ~AttributeTemplate();
    AttributeTemplate(const AttributeTemplate&) = delete;
    AttributeTemplate& operator=(const AttributeTemplate&) = delete;

    AttributeTemplate& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
    AttributeTemplate& Bool(CK_ATTRIBUTE_TYPE type, bool value);
    AttributeTemplate& Data(CK_ATTRIBUTE_TYPE type, const void* data, std::size_t size);
    AttributeTemplate& Data(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
        return Data(type, value.data(), value.size());
    }
    AttributeTemplate& Text(CK_ATTRIBUTE_TYPE type, std::string_view text) {
        return Data(type, text.data(), text.size());
    }

    CK_ATTRIBUTE* data() { return attributes_.data(); }
    CK_ULONG size() const { return static_cast<CK_ULONG>(attributes_.size()); }

private:
    std::vector<CK_ATTRIBUTE> attributes_;
    std::deque<Bytes> values_;  // a deque never moves its elements, so pValue stays valid
};

// Reads one attribute of an object as bytes: C_GetAttributeValue for the length, then into a
// buffer of that length. Returns the failing CK_RV (with `value` empty) or 0. A length of 0 gives
// an empty value; CK_UNAVAILABLE_INFORMATION gives CKR_ATTRIBUTE_TYPE_INVALID.
CK_RV ReadAttribute(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                    CK_ATTRIBUTE_TYPE type, Bytes& value);

// Reads one CK_ULONG attribute of an object.
CK_RV ReadUlongAttribute(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                         CK_ATTRIBUTE_TYPE type, CK_ULONG& value);

}  // namespace qe
