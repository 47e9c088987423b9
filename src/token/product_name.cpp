#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"

namespace qe {
namespace {

constexpr CK_ULONG kVendorFeatureType = 0x80005002;  // CKA_HW_FEATURE_TYPE of the object
constexpr CK_ATTRIBUTE_TYPE kProductNameAttribute = 0x80001101;
constexpr CK_ULONG kMaxProductNameLength = 4096;  // longer values are not names

}  // namespace

std::string CPKI::ReadProductName(const zel_token& token) {
    std::string name = "N/A";
    OpenedToken opened;
    if (OpenListedToken(token, opened) != CKR_OK) {
        return name;
    }
    CK_FUNCTION_LIST* fn = opened.fn();
    Pkcs11Session session;
    if (session.Open(fn, opened.slotId, CKF_SERIAL_SESSION) != CKR_OK) {
        return name;
    }
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_HW_FEATURE).Ulong(CKA_HW_FEATURE_TYPE, kVendorFeatureType);
    ObjectSearch search;
    if (search.Init(fn, session.handle(), pattern) != CKR_OK) {
        return name;
    }
    for (;;) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        bool found = false;
        if (search.Next(object, found) != CKR_OK || !found) {
            break;
        }
        CK_ATTRIBUTE attribute{kProductNameAttribute, nullptr, 0};
        if (Checked(fn->C_GetAttributeValue(session.handle(), object, &attribute, 1)) != CKR_OK ||
            attribute.ulValueLen > kMaxProductNameLength) {
            break;
        }
        if (attribute.ulValueLen == 0) {
            continue;
        }
        // One zero byte more than the value, so the text always ends.
        std::string buffer(attribute.ulValueLen + 1, '\0');
        attribute.pValue = buffer.data();
        if (Checked(fn->C_GetAttributeValue(session.handle(), object, &attribute, 1)) != CKR_OK) {
            break;
        }
        name = buffer.c_str();
    }
    search.Final();
    session.Close();
    return name;
}

}  // namespace qe
