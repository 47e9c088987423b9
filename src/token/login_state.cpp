#include "token/pkcs11_call.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"

namespace qe {

CK_RV CPKI::IsLoggedIn(const zel_token& token, bool& loggedIn) {
    loggedIn = false;
    OpenedToken opened;
    CK_RV rv = OpenListedToken(token, opened);
    if (rv != CKR_OK) {
        return rv;
    }
    Pkcs11Session session;
    rv = session.Open(opened.fn(), opened.slotId, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_SESSION_INFO info{};
    rv = Checked(opened.fn()->C_GetSessionInfo(session.handle(), &info));
    if (rv != CKR_OK) {
        return rv;
    }
    rv = session.Close();
    if (rv != CKR_OK) {
        return rv;
    }
    loggedIn = info.state == CKS_RW_USER_FUNCTIONS;
    return CKR_OK;
}

}  // namespace qe
