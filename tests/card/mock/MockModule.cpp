// The loadable face of the mock card: the entry points, exported by name, that
// forward to the control library. Built with -fno-gnu-unique and without any
// inline or template statics, so that dlclose really unloads it and the log
// shows every load and unload.
//
// Variants leave out names (MOCK_WITHOUT_*), or export nothing but
// C_GetFunctionList and hand out every entry point through its list
// (MOCK_FUNCTION_LIST_ONLY), as p11-kit-proxy.so and many vendor modules do.

#include "MockEntryPoints.hpp"

#define MOCK_VISIBLE extern "C" __attribute__((visibility("default")))
#ifdef MOCK_FUNCTION_LIST_ONLY
#define MOCK_EXPORT extern "C"
#else
#define MOCK_EXPORT MOCK_VISIBLE
#endif

namespace entry = tarvo::test::mockp11::entry;

__attribute__((constructor)) static void mockModuleLoaded() { entry::loaded(); }
__attribute__((destructor)) static void mockModuleUnloaded() { entry::unloaded(); }

MOCK_EXPORT CK_RV C_Initialize(void* arguments) { return entry::initialize(arguments); }

MOCK_EXPORT CK_RV C_Finalize(void* reserved) { return entry::finalize(reserved); }

MOCK_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    return entry::getSlotList(tokenPresent, list, count);
}

#ifndef MOCK_WITHOUT_C_GETTOKENINFO
MOCK_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) { return entry::getTokenInfo(slot, info); }
#endif

MOCK_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                                CK_SESSION_HANDLE_PTR session) {
    return entry::openSession(slot, flags, application, notify, session);
}

MOCK_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE session) { return entry::closeSession(session); }

MOCK_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    return entry::findObjectsInit(session, attributes, count);
}

MOCK_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maximum,
                                CK_ULONG_PTR count) {
    return entry::findObjects(session, objects, maximum, count);
}

MOCK_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) { return entry::findObjectsFinal(session); }

MOCK_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                      CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    return entry::getAttributeValue(session, object, attributes, count);
}

#ifndef MOCK_WITHOUT_C_LOGIN_AND_C_SIGN
MOCK_EXPORT CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
                          CK_ULONG length) {
    return entry::login(session, userType, pin, length);
}
#endif

#ifndef MOCK_WITHOUT_C_LOGOUT
MOCK_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE session) { return entry::logout(session); }
#endif

MOCK_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return entry::signInit(session, mechanism, key);
}

#ifndef MOCK_WITHOUT_C_LOGIN_AND_C_SIGN
MOCK_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
                         CK_ULONG_PTR signatureLength) {
    return entry::sign(session, data, length, signature, signatureLength);
}
#endif

#ifdef MOCK_FUNCTION_LIST_ONLY
static CK_FUNCTION_LIST functionList;

MOCK_VISIBLE CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    const CK_RV rv = entry::getFunctionList(list != nullptr);
    if (rv != CKR_OK) {
        return rv;
    }
    functionList.version = {2, 40};
    functionList.C_Initialize = C_Initialize;
    functionList.C_Finalize = C_Finalize;
    functionList.C_GetFunctionList = C_GetFunctionList;
    functionList.C_GetSlotList = C_GetSlotList;
    functionList.C_GetTokenInfo = C_GetTokenInfo;
    functionList.C_OpenSession = C_OpenSession;
    functionList.C_CloseSession = C_CloseSession;
    functionList.C_FindObjectsInit = C_FindObjectsInit;
    functionList.C_FindObjects = C_FindObjects;
    functionList.C_FindObjectsFinal = C_FindObjectsFinal;
    functionList.C_GetAttributeValue = C_GetAttributeValue;
    functionList.C_Login = C_Login;
#ifndef MOCK_WITHOUT_C_LOGOUT
    functionList.C_Logout = C_Logout;
#endif
    functionList.C_SignInit = C_SignInit;
    functionList.C_Sign = C_Sign;
    *list = &functionList;
    return CKR_OK;
}
#endif
