#pragma once

#include <string>

#include <p11-kit/pkcs11.h>

namespace qe {

// The CKR_ name of a PKCS#11 result ("CKR_PIN_INCORRECT"), "CKR_VENDOR_DEFINED+0x<n>" for vendor
// codes, and an empty text for codes no PKCS#11 version defines.
std::string CkrName(CK_RV rv);

// Passes a PKCS#11 result through unchanged. A failing one is first recorded as the thread's last
// system error (code = the CK_RV, text = its CKR_ name), so the failure logger can name it. Wrap
// every C_* call whose failure ends an operation in it.
CK_RV Checked(CK_RV rv);

}  // namespace qe
