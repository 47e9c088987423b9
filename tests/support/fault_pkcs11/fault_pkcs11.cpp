// The fault-injecting PKCS#11 module's entry point and function list; what it reads and does is
// listed in fault_config.cpp.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "fault_module.h"

namespace qe::fault {
namespace {

// ---- operations: a hidden mechanism is refused as the token would ---------------------------

template <std::size_t N>
struct CallName {
    char text[N];
    constexpr CallName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

template <CK_RV (*CK_FUNCTION_LIST::*Member)(CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE),
          CallName Name>
CK_RV MechanismInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    return Call(Name.text, MechanismText(mechanism) + " key=" + Num(key)).Run([&] {
        const CK_RV rv = Hidden(ForSession(session), mechanism) ? CKR_MECHANISM_INVALID
                         : PinChangeDue()                       ? CKR_PIN_EXPIRED
                                          : (g.real->*Member)(session, mechanism, key);
        // explicit-decrypt: such a token tells a key's refusal as a device error
        return rv == CKR_KEY_FUNCTION_NOT_PERMITTED && On("explicit-decrypt") ? CKR_DEVICE_ERROR
                                                                              : rv;
    });
}

// C_Sign and C_Decrypt. no-length-query runs a length query as the whole operation, into scrap,
// which ends it.
template <CK_RV (*CK_FUNCTION_LIST::*Member)(CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG, CK_BYTE*,
                                             CK_ULONG*),
          CallName Name>
CK_RV Finish(CK_SESSION_HANDLE session, CK_BYTE* in, CK_ULONG length, CK_BYTE* out,
             CK_ULONG* outLength) {
    return Call(Name.text).Run([&] {
        CK_BYTE scrap[1024];
        const bool query = out == nullptr && outLength != nullptr && On("no-length-query");
        if (query) {
            *outLength = sizeof scrap;
        }
        return (g.real->*Member)(session, in, length, query ? scrap : out, outLength);
    });
}

// ---- the other calls the program makes: recorded, the rules applied, forwarded ---------------

template <typename Fn>
struct Forwarder;

template <typename... Args>
struct Forwarder<CK_RV (*)(Args...)> {
    template <CK_RV (*CK_FUNCTION_LIST::*Member)(Args...), CallName Name, bool Slot = false>
    static CK_RV Forward(Args... args) {
        return Call(Name.text).Run([&] {
            if constexpr (Slot) {  // the first argument is a slot as shown
                std::get<0>(std::tie(args...)) = RealSlot(std::get<0>(std::tie(args...)));
            }
            return (g.real->*Member)(args...);
        });
    }
};

#define QE_FORWARD(f) \
    g.list.f = &Forwarder<decltype(g.list.f)>::template Forward<&CK_FUNCTION_LIST::f, #f>
#define QE_SLOT(f) \
    g.list.f = &Forwarder<decltype(g.list.f)>::template Forward<&CK_FUNCTION_LIST::f, #f, true>
#define QE_FINISH(f) g.list.f = &Finish<&CK_FUNCTION_LIST::f, #f>
#define QE_INIT(f) g.list.f = &MechanismInit<&CK_FUNCTION_LIST::f, #f>

void BuildList() {
    g.list = *g.real;
    QE_FORWARD(C_GetInfo), QE_SLOT(C_GetSlotInfo), QE_FORWARD(C_FindObjectsFinal),
        QE_SLOT(C_InitToken), QE_FORWARD(C_InitPIN), QE_FORWARD(C_CloseSession),
        QE_SLOT(C_CloseAllSessions), QE_FORWARD(C_Logout), QE_FORWARD(C_DestroyObject),
        QE_SLOT(C_GetMechanismList), QE_FORWARD(C_WaitForSlotEvent);
    QE_INIT(C_DecryptInit), QE_INIT(C_SignInit), QE_FINISH(C_Sign), QE_FINISH(C_Decrypt);
    ListTokenCalls(g.list);
    ListObjectCalls(g.list);
    g.list.C_GetFunctionList = &::C_GetFunctionList;
}

}  // namespace
}  // namespace qe::fault

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    using namespace qe::fault;
    const char* path = std::getenv("QE_FAULT_PKCS11_CONFIG");
    std::ifstream file(path != nullptr ? path : "");
    g.config = ParseConfig(file);
    g.pendingFakes.clear();
    return Call("C_GetFunctionList").Run([&] {
        if (On("load-once") && g_loads > 1) {
            return CKR_GENERAL_ERROR;
        }
        if (g.real == nullptr) {
            if (g.library == nullptr) {
                g.library.reset(dlopen(g.config.target.c_str(), RTLD_NOW | RTLD_LOCAL));
            }
            void* symbol =
                g.library != nullptr ? dlsym(g.library.get(), "C_GetFunctionList") : nullptr;
            CK_C_GetFunctionList getList = nullptr;
            std::memcpy(&getList, &symbol, sizeof symbol);
            if (getList == nullptr || getList(&g.real) != CKR_OK || g.real == nullptr) {
                g.real = nullptr;
                return CKR_GENERAL_ERROR;
            }
        }
        if (list == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (g.hiddenInitialisation) {
            g.real->C_Finalize(nullptr);
            g.hiddenInitialisation = false;
        }
        BuildList();
        *list = &g.list;
        return CKR_OK;
    });
}
