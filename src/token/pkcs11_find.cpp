#include "token/pkcs11_find.h"

#include "token/pkcs11_call.h"

namespace qe {

ObjectSearch::~ObjectSearch() {
    if (active_) {
        fn_->C_FindObjectsFinal(session_);
    }
}

CK_RV ObjectSearch::Init(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                         AttributeTemplate& pattern) {
    Final();
    const CK_RV rv = Checked(fn->C_FindObjectsInit(session, pattern.data(), pattern.size()));
    if (rv == CKR_OK) {
        fn_ = fn;
        session_ = session;
        active_ = true;
    }
    return rv;
}

CK_RV ObjectSearch::Next(CK_OBJECT_HANDLE& object, bool& found) {
    found = false;
    if (!active_) {
        return Checked(CKR_OPERATION_NOT_INITIALIZED);
    }
    CK_ULONG count = 0;
    const CK_RV rv = Checked(fn_->C_FindObjects(session_, &object, 1, &count));
    found = rv == CKR_OK && count > 0;
    return rv;
}

CK_RV ObjectSearch::Final() {
    if (!active_) {
        return CKR_OK;
    }
    active_ = false;
    return Checked(fn_->C_FindObjectsFinal(session_));
}

CK_RV FindAllObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, AttributeTemplate& pattern,
                     std::vector<CK_OBJECT_HANDLE>& objects) {
    ObjectSearch search;
    CK_RV rv = search.Init(fn, session, pattern);
    if (rv != CKR_OK) {
        return rv;
    }
    for (;;) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        bool found = false;
        rv = search.Next(object, found);
        if (rv != CKR_OK) {
            return rv;
        }
        if (!found) {
            break;
        }
        objects.push_back(object);
    }
    return search.Final();
}

}  // namespace qe
