// The fault module's objects: the product-name objects, attributes, and the key pairs generated.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fault_module.h"

namespace qe::fault {
namespace {

// ---- product-name: vendor hardware-feature objects that only name the product --------------

// The search the product name reader makes, as the record writes it.
const std::string& VendorFeatureSearch() {
    static const std::string text = [] {
        CK_ULONG values[] = {CKO_HW_FEATURE, kVendorFeatureType};
        CK_ATTRIBUTE search[] = {{CKA_CLASS, &values[0], sizeof(CK_ULONG)},
                                 {CKA_HW_FEATURE_TYPE, &values[1], sizeof(CK_ULONG)}};
        return TemplateText(search, 2);
    }();
    return text;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    const std::string search = TemplateText(attributes, count);
    return Call("C_FindObjectsInit", " " + search).Run([&] {
        // pad-modulus: the token keeps the zero octet, so only a value with it matches.
        std::vector<CK_ATTRIBUTE> pattern(attributes, attributes + count);
        CK_BYTE noModulus = 0;  // no key has this one
        for (CK_ATTRIBUTE& a : pattern) {
            if (On("pad-modulus") && a.type == CKA_MODULUS) {
                const bool padded = a.ulValueLen > 1 && *static_cast<CK_BYTE*>(a.pValue) == 0;
                a.pValue = padded ? static_cast<CK_BYTE*>(a.pValue) + 1 : &noModulus;
                a.ulValueLen = padded ? a.ulValueLen - 1 : 1;
            }
        }
        const CK_RV rv = g.real->C_FindObjectsInit(session, pattern.data(), count);
        std::vector<CK_OBJECT_HANDLE>& fakes = g.pendingFakes[session];
        fakes.clear();
        for (std::size_t i = 0; rv == CKR_OK && search == VendorFeatureSearch() &&
                                i < ForSession(session).productNames.size();
             ++i) {
            fakes.push_back(kFirstFakeObject + i);
        }
        return rv;
    });
}

CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG max,
                  CK_ULONG* count) {
    Call call("C_FindObjects", " max=" + std::to_string(max));
    return call.Run([&] {
        std::vector<CK_OBJECT_HANDLE>& fakes = g.pendingFakes[session];
        const CK_ULONG given = std::min<CK_ULONG>(max, fakes.size());
        std::copy_n(fakes.begin(), given, objects);
        fakes.erase(fakes.begin(), fakes.begin() + static_cast<std::ptrdiff_t>(given));
        CK_RV rv = CKR_OK;
        CK_ULONG found = 0;
        do {  // a batch of hidden certificates only is not the end
            rv = g.real->C_FindObjects(session, objects + given, max - given, &found);
            found = rv == CKR_OK ? found : 0;
            *count =
                std::remove_if(objects + given, objects + given + found,
                               [&](auto object) { return HiddenCertificate(session, object); }) -
                (objects + given);
        } while (found > 0 && *count == 0);
        if (rv == CKR_OK) {
            *count += given;
            std::string handles;
            for (CK_ULONG i = 0; i < *count; ++i) {
                handles += (i == 0 ? "" : ",") + Num(objects[i]);
            }
            call.Add("found=" + std::to_string(*count) + " objects=" + handles);
        }
        return rv;
    });
}

// Recorded after the call: the types asked for, with the values read when a buffer was given.
// A product-name object has its name and nothing else.
CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE* attributes, CK_ULONG count) {
    Call call("C_GetAttributeValue", " object=" + Num(object));
    return call.Run([&] {
        const std::vector<std::string>& names = ForSession(session).productNames;
        CK_RV rv = CKR_ATTRIBUTE_TYPE_INVALID;
        const bool pad = On("pad-modulus");
        for (CK_ULONG i = 0; pad && i < count; ++i) {  // room for the zero octet
            CK_ATTRIBUTE& a = attributes[i];
            a.ulValueLen -= a.type == CKA_MODULUS && a.pValue != nullptr && a.ulValueLen > 0;
        }
        if (HiddenCertificate(session, object)) {
            rv = CKR_OBJECT_HANDLE_INVALID;
        } else if (object < kFirstFakeObject || object - kFirstFakeObject >= names.size()) {
            rv = g.real->C_GetAttributeValue(session, object, attributes, count);
        } else if (count == 1 && attributes[0].type == kProductNameAttribute) {
            const std::string& name = names[object - kFirstFakeObject];
            rv = attributes[0].pValue == nullptr || attributes[0].ulValueLen >= name.size()
                     ? CKR_OK
                     : CKR_BUFFER_TOO_SMALL;
            if (rv == CKR_OK && attributes[0].pValue != nullptr) {
                std::memcpy(attributes[0].pValue, name.data(), name.size());
            }
            attributes[0].ulValueLen = rv == CKR_OK ? name.size() : CK_UNAVAILABLE_INFORMATION;
        }
        CK_OBJECT_CLASS type = 0;
        CK_ATTRIBUTE typeOf{CKA_CLASS, &type, sizeof type};
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_ATTRIBUTE& a = attributes[i];
            if (a.type == CKA_MODULUS && On("private-modulus-hidden") &&
                g.real->C_GetAttributeValue(session, object, &typeOf, 1) == CKR_OK &&
                type == CKO_PRIVATE_KEY) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_TYPE_INVALID;
            } else if (pad && a.type == CKA_MODULUS && a.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
                if (a.pValue != nullptr) {
                    std::memmove(static_cast<CK_BYTE*>(a.pValue) + 1, a.pValue, a.ulValueLen);
                    *static_cast<CK_BYTE*>(a.pValue) = 0;
                }
                ++a.ulValueLen;
            }
        }
        call.Add(TemplateText(attributes, count,
                              rv == CKR_OK && count > 0 && attributes[0].pValue != nullptr));
        return rv;
    });
}

CK_RV SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return Call("C_SetAttributeValue",
                " object=" + Num(object) + " " + TemplateText(attributes, count))
        .Run([&] { return g.real->C_SetAttributeValue(session, object, attributes, count); });
}

CK_RV Refused(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
        if (const auto refused = g.config.refusedAttributes.find(attributes[i].type);
            refused != g.config.refusedAttributes.end()) {
            return refused->second;
        }
    }
    return CKR_OK;
}

CK_RV CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count,
                   CK_OBJECT_HANDLE* object) {
    return Call("C_CreateObject", " " + TemplateText(attributes, count)).Run([&] {
        const CK_RV refused = Refused(attributes, count);
        return refused != CKR_OK ? refused
                                 : g.real->C_CreateObject(session, attributes, count, object);
    });
}

// Destroys the keys with the first certificate's identifier and points `id` at it: a fixed key
// slot, whatever was asked for. The certificate stays until one is written there.
void ClearFixedSlot(CK_SESSION_HANDLE session, CK_ATTRIBUTE& id) {
    static std::uint8_t slot[256];
    CK_OBJECT_CLASS classes[] = {CKO_CERTIFICATE, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY};
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, nullptr, sizeof(CK_OBJECT_CLASS)},
                              {CKA_ID, slot, sizeof slot}};
    CK_OBJECT_HANDLE found[64];
    for (CK_ULONG i = 0, count = 0; i < 3; ++i) {
        pattern[0].pValue = &classes[i];
        g.real->C_FindObjectsInit(session, pattern, i == 0 ? 1 : 2);
        g.real->C_FindObjects(session, found, 64, &count);
        g.real->C_FindObjectsFinal(session);
        if (i == 0 && count > 0) {
            g.real->C_GetAttributeValue(session, found[0], &pattern[1], 1);  // its identifier
        }
        for (CK_ULONG k = 0; i > 0 && k < count; ++k) {
            g.real->C_DestroyObject(session, found[k]);
        }
    }
    id = pattern[1];
}

// Sets `type` to `value` in a template when `on`; with `keep`, only when the program gave none.
void Put(std::vector<CK_ATTRIBUTE>& attributes, bool on, CK_ATTRIBUTE_TYPE type, bool value,
         bool keep = false) {
    static CK_BBOOL values[] = {CK_FALSE, CK_TRUE};
    const auto it = std::find_if(attributes.begin(), attributes.end(),
                                 [&](const CK_ATTRIBUTE& given) { return given.type == type; });
    if (on && (it == attributes.end() || !keep)) {
        *(it == attributes.end() ? &attributes.emplace_back() : &*it) = {type, &values[value], 1};
    }
}

// assign-key-id: the keys take the SHA-1 of the modulus as CKA_ID, hashed by the token.
void AssignKeyId(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE publicKey,
                 CK_OBJECT_HANDLE privateKey) {
    CK_BYTE modulus[1024];
    CK_BYTE id[20];
    CK_ULONG length = sizeof id;
    CK_ATTRIBUTE attribute{CKA_MODULUS, modulus, sizeof modulus};
    CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
    if (g.real->C_GetAttributeValue(session, privateKey, &attribute, 1) == CKR_OK &&
        g.real->C_DigestInit(session, &sha1) == CKR_OK &&
        g.real->C_Digest(session, modulus, attribute.ulValueLen, id, &length) == CKR_OK) {
        attribute = {CKA_ID, id, length};
        g.real->C_SetAttributeValue(session, publicKey, &attribute, 1);
        g.real->C_SetAttributeValue(session, privateKey, &attribute, 1);
    }
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism,
                      CK_ATTRIBUTE* publicTemplate, CK_ULONG publicCount,
                      CK_ATTRIBUTE* privateTemplate, CK_ULONG privateCount,
                      CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey) {
    return Call("C_GenerateKeyPair", MechanismText(mechanism) + " " +
                                         TemplateText(publicTemplate, publicCount) + " " +
                                         TemplateText(privateTemplate, privateCount))
        .Run([&] {
            CK_ATTRIBUTE slot{};
            if (On("fixed-key-slot")) {
                ClearFixedSlot(session, slot);
            }
            std::vector<CK_ATTRIBUTE> templates[2];
            for (const auto& [attributes, count] :
                 {std::pair{publicTemplate, publicCount}, {privateTemplate, privateCount}}) {
                for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
                    if (const CK_RV refused = Refused(attributes + i, 1); refused != CKR_OK) {
                        return refused;
                    }
                    const bool id = attributes[i].type == CKA_ID && On("fixed-key-slot");
                    templates[attributes == privateTemplate].push_back(id ? slot : attributes[i]);
                }
            }
            Put(templates[0], On("session-public-key"), CKA_TOKEN, false);
            Put(templates[1], On("always-authenticate"), CKA_ALWAYS_AUTHENTICATE, true);
            Put(templates[1], On("explicit-decrypt"), CKA_DECRYPT, false, true);
            Put(templates[1], On("extractable-keys"), CKA_EXTRACTABLE, true, true);
            const CK_RV rv = g.real->C_GenerateKeyPair(session, mechanism, templates[0].data(),
                                                       templates[0].size(), templates[1].data(),
                                                       templates[1].size(), publicKey, privateKey);
            if (rv == CKR_OK && On("assign-key-id")) {
                AssignKeyId(session, *publicKey, *privateKey);
            }
            return rv;
        });
}
}  // namespace

void ListObjectCalls(CK_FUNCTION_LIST& list) {
    list.C_FindObjectsInit = &FindObjectsInit, list.C_FindObjects = &FindObjects;
    list.C_GetAttributeValue = &GetAttributeValue, list.C_SetAttributeValue = &SetAttributeValue;
    list.C_CreateObject = &CreateObject, list.C_GenerateKeyPair = &GenerateKeyPair;
}

}  // namespace qe::fault
