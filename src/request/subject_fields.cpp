#include "request/subject_fields.h"

#include <algorithm>
#include <string_view>

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include "log/enroll_log.h"
#include "toolkit/status.h"
#include "toolkit/utf8.h"

namespace qe {
namespace {

struct SlotKeys {
    SubjectSlot slot;
    const char* oid;
    std::vector<std::string_view> serverKeys;
};

const std::vector<SlotKeys>& SlotTable() {
    static const std::vector<SlotKeys> table = {
        {kSlotCountry, "2.5.4.6", {"C"}},
        {kSlotLocality, "2.5.4.7", {"L"}},
        {kSlotOrganization, "2.5.4.10", {"O"}},
        {kSlotOrganizationalUnit, "2.5.4.11", {"OU"}},
        {kSlotTitle, "2.5.4.12", {"T"}},
        {kSlotCommonName, "2.5.4.3", {"CN"}},
        {kSlotSerialNumber, "2.5.4.5", {"SN"}},
        {kSlotTelephone, "2.5.4.20", {"PHONE"}},
        {kSlotStreet, "2.5.4.9", {"STREET"}},
        {kSlotState, "2.5.4.8", {"ST"}},
        {kSlotName, "2.5.4.41", {}},
        {kSlotGivenName, "2.5.4.42", {"GIVENNAME", "G"}},
        {kSlotSurname, "2.5.4.4", {"SURNAME"}},
        {kSlotPseudonym, "2.5.4.65", {"E2"}},
        {kSlotOrganizationIdentifier, "2.5.4.97", {"ORGID"}},
    };
    return table;
}

enum class StringKind { Printable, Ia5, Variable };

struct NameAttribute {
    SubjectSlot slot;
    const char* oid;
    StringKind kind;
    std::size_t upperBound;  // characters
};

// The order of the attributes in the encoded subject, with their string types and upper bounds.
constexpr NameAttribute kNameOrder[] = {
    {kSlotCountry, "2.5.4.6", StringKind::Printable, 2},
    {kSlotLocality, "2.5.4.7", StringKind::Variable, 128},
    {kSlotOrganization, "2.5.4.10", StringKind::Variable, 64},
    {kSlotOrganizationalUnit, "2.5.4.11", StringKind::Variable, 64},
    {kSlotTitle, "2.5.4.12", StringKind::Variable, 64},
    {kSlotCommonName, "2.5.4.3", StringKind::Variable, 64},
    {kSlotEmail, "1.2.840.113549.1.9.1", StringKind::Ia5, 255},
    {kSlotTelephone, "2.5.4.20", StringKind::Printable, 32},
    {kSlotSerialNumber, "2.5.4.5", StringKind::Printable, 64},
    {kSlotStreet, "2.5.4.9", StringKind::Variable, 128},
    {kSlotPostalCode, "2.5.4.17", StringKind::Variable, 40},
    {kSlotState, "2.5.4.8", StringKind::Variable, 128},
    {kSlotName, "2.5.4.41", StringKind::Variable, 32768},
    {kSlotGivenName, "2.5.4.42", StringKind::Variable, 32768},
    {kSlotSurname, "2.5.4.4", StringKind::Variable, 32768},
    {kSlotPseudonym, "2.5.4.65", StringKind::Variable, 128},
    {kSlotUniqueIdentifier, "2.5.4.45", StringKind::Variable, 32768},
    {kSlotOrganizationIdentifier, "2.5.4.97", StringKind::Variable, 128},
};

bool IsPrintableChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view(" '()+,-./:=?").find(static_cast<char>(c)) != std::string_view::npos;
}

// Checks a value against its string type and bound; returns the ASN.1 type to encode it with.
int CheckValue(const std::string& value, StringKind kind, std::size_t upperBound, int& asn1Type) {
    if (value.empty()) {
        return kToolkitEmptyValue;
    }
    std::size_t characters = value.size();
    switch (kind) {
        case StringKind::Printable:
            if (!std::all_of(value.begin(), value.end(), [](char c) {
                    return IsPrintableChar(static_cast<unsigned char>(c));
                })) {
                return kToolkitNotPrintable;
            }
            asn1Type = V_ASN1_PRINTABLESTRING;
            break;
        case StringKind::Ia5:
            if (!std::all_of(value.begin(), value.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
                return kToolkitNotPrintable;
            }
            asn1Type = V_ASN1_IA5STRING;
            break;
        case StringKind::Variable: {
            const auto wide = Utf8ToWide(value);
            if (!wide) {
                return kToolkitBadText;
            }
            characters = wide->size();
            break;
        }
    }
    return characters > upperBound ? kToolkitValueTooLong : 0;
}

int AddAttribute(X509_NAME* name, const char* oid, int asn1Type, const std::string& value) {
    Asn1ObjectPtr object(OBJ_txt2obj(oid, 1));
    if (!object || X509_NAME_add_entry_by_OBJ(name, object.get(), asn1Type,
                                              reinterpret_cast<const unsigned char*>(value.data()),
                                              static_cast<int>(value.size()), -1, 0) != 1) {
        return kToolkitNoMemory;
    }
    return 0;
}

}  // namespace

SubjectFields SubjectFieldsFromServerFields(const CertFields& fields) {
    SubjectFields subject;
    for (const auto& [key, value] : fields) {
        for (const SlotKeys& row : SlotTable()) {
            if (std::find(row.serverKeys.begin(), row.serverKeys.end(), key) !=
                row.serverKeys.end()) {
                subject[row.slot] = value;
            }
        }
    }
    subject[kSlotStringType] = "UTF-8";
    return subject;
}

SubjectFields SubjectFieldsFromCertificateNames(const CertFields& fields) {
    SubjectFields subject;
    for (const auto& [key, value] : fields) {
        const auto row = std::find_if(SlotTable().begin(), SlotTable().end(),
                                      [&key](const SlotKeys& r) { return key == r.oid; });
        if (row == SlotTable().end()) {
            Log().Write("Missing OID mapping" + key + " value: " + value);
            continue;
        }
        subject[row->slot] = value;
    }
    subject[kSlotStringType] = "UTF-8";
    return subject;
}

std::vector<std::string> SplitOrganizationalUnits(const std::optional<std::string>& value) {
    std::vector<std::string> units;
    if (!value) {
        return units;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t at = value->find("//", start);
        std::string piece =
            value->substr(start, at == std::string::npos ? std::string::npos : at - start);
        if (piece.empty()) {
            break;
        }
        units.push_back(std::move(piece));
        if (at == std::string::npos) {
            break;
        }
        start = at + 2;
    }
    return units;
}

int BuildSubjectName(const SubjectFields& fields, X509NamePtr& name) {
    X509NamePtr built(X509_NAME_new());
    if (!built) {
        return kToolkitNoMemory;
    }
    const bool printable =
        fields[kSlotStringType] == std::optional<std::string>("PRINTABLE_STRING");
    for (const NameAttribute& attribute : kNameOrder) {
        std::vector<std::string> values;
        if (attribute.slot == kSlotOrganizationalUnit) {
            values = SplitOrganizationalUnits(fields[attribute.slot]);
        } else if (fields[attribute.slot]) {
            if (attribute.slot == kSlotLocality && fields[attribute.slot]->empty()) {
                continue;
            }
            values.push_back(*fields[attribute.slot]);
        }
        const StringKind kind = attribute.kind == StringKind::Variable && printable
                                    ? StringKind::Printable
                                    : attribute.kind;
        for (const std::string& value : values) {
            int asn1Type = V_ASN1_UTF8STRING;
            if (int rc = CheckValue(value, kind, attribute.upperBound, asn1Type); rc != 0) {
                return rc;
            }
            if (int rc = AddAttribute(built.get(), attribute.oid, asn1Type, value); rc != 0) {
                return rc;
            }
        }
    }
    name = std::move(built);
    return 0;
}

}  // namespace qe
