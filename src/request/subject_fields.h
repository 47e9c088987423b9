#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "net/cert_fields.h"
#include "toolkit/openssl_ptr.h"

namespace qe {

// The slots of a request subject, in the order the field lists fill them.
enum SubjectSlot : int {
    kSlotCountry = 0,
    kSlotLocality,
    kSlotOrganization,
    kSlotOrganizationalUnit,  // one value, split at "//" when the name is built
    kSlotTitle,
    kSlotCommonName,
    kSlotEmail,
    kSlotStringType,  // not an attribute: "UTF-8" or "PRINTABLE_STRING"
    kSlotSerialNumber,
    kSlotTelephone,
    kSlotStreet,
    kSlotState,
    kSlotName,
    kSlotGivenName,
    kSlotSurname,
    kSlotPseudonym,
    kSlotPostalCode,
    kSlotUniqueIdentifier,
    kSlotOrganizationIdentifier,
    kSubjectSlotCount
};

// The subject attributes of a request, UTF-8; an absent slot is not in the name.
struct SubjectFields {
    std::array<std::optional<std::string>, kSubjectSlotCount> slots;

    const std::optional<std::string>& operator[](SubjectSlot slot) const { return slots[slot]; }
    std::optional<std::string>& operator[](SubjectSlot slot) { return slots[slot]; }
};

// From the server's field list (short keys "C", "CN", "OU", ...); unknown keys are ignored.
SubjectFields SubjectFieldsFromServerFields(const CertFields& fields);

// From the names of an existing certificate (dotted OIDs as keys, exact match only); each key
// without a slot is logged as "Missing OID mapping<key> value: <value>".
SubjectFields SubjectFieldsFromCertificateNames(const CertFields& fields);

// The organizational units of the OU value: split at every "//", an empty piece ends the list,
// no value or an empty one gives none.
std::vector<std::string> SplitOrganizationalUnits(const std::optional<std::string>& value);

// The X.500 Name of the subject, one attribute per relative distinguished name, in the fixed
// order of the request subject. Returns 0, or kToolkitEmptyValue (empty value),
// kToolkitNotPrintable (character outside PrintableString/IA5String), kToolkitBadText (value not
// UTF-8), kToolkitValueTooLong (above the attribute's upper bound), kToolkitNoMemory.
int BuildSubjectName(const SubjectFields& fields, X509NamePtr& name);

}  // namespace qe
