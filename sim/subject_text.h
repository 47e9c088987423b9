#pragma once

#include <string>
#include <string_view>

#include "toolkit/openssl_ptr.h"

namespace qe::sim {

// A distinguished name written as "C=RO,O=Firma\, SRL,CN=Ion Popescu": attributes in encoded
// order, keys as OpenSSL names them (C, ST, L, O, OU, CN, SN = surname, GN, serialNumber, title,
// …) or dotted OIDs, values UTF-8, "\," for a comma and "\\" for a backslash inside a value.
// Nothing, with `error` set, for an unknown key, an empty value or a value the attribute cannot
// hold (a country that is not two letters, for instance).
X509NamePtr ParseSubjectText(std::string_view text, std::string& error);

// The subject the authority gives a certificate from its own field list (the text it answers on
// the fields path): lines KEY=value with the short keys of that list (C, L, O, OU, T, CN, PHONE,
// SN, STREET, ST, G or GIVENNAME, SURNAME, E2, ORGID), a later line replacing an earlier one; the
// attributes in the wizard's order, OU split at "//", country, telephone and serial number as
// PrintableString and the rest UTF8String. Other keys are passed over. Nothing, with `error` set,
// when a value is empty (an empty locality or OU is left out instead) or does not fit its type.
X509NamePtr NameFromFields(std::string_view fieldsText, std::string& error);

}  // namespace qe::sim
