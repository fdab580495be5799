// A thin PKCS#11 module for end-to-end tests that forwards to SoftHSM2 but shows
// only initialised tokens. SoftHSM2 always keeps one uninitialised token
// present, which no real card reader shows and on which C_OpenSession fails;
// behind this filter a SoftHSM2 store looks like readers holding real cards.
// The SoftHSM2 module it forwards to is fixed at build time.

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <cstring>
#include <vector>

namespace {

void* target = nullptr;
CK_FUNCTION_LIST_PTR functions = nullptr;

CK_RV loadTarget() {
    if (functions != nullptr) {
        return CKR_OK;
    }
    target = ::dlopen(SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (target == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(target, "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&functions) != CKR_OK) {
        ::dlclose(target);
        target = nullptr;
        functions = nullptr;
        return CKR_GENERAL_ERROR;
    }
    return CKR_OK;
}

void unloadTarget() {
    if (target != nullptr) {
        ::dlclose(target);
    }
    target = nullptr;
    functions = nullptr;
}

}  // namespace

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR args) {
    if (CK_RV rv = loadTarget(); rv != CKR_OK) {
        return rv;
    }
    CK_RV rv = functions->C_Initialize(args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        unloadTarget();
    }
    return rv;
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
    if (functions == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    CK_RV rv = functions->C_Finalize(reserved);
    unloadTarget();
    return rv;
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (functions == nullptr || count == nullptr) {
        return functions == nullptr ? CKR_CRYPTOKI_NOT_INITIALIZED : CKR_ARGUMENTS_BAD;
    }
    CK_ULONG all = 0;
    if (CK_RV rv = functions->C_GetSlotList(tokenPresent, nullptr, &all); rv != CKR_OK) {
        return rv;
    }
    std::vector<CK_SLOT_ID> slots(all);
    if (CK_RV rv = functions->C_GetSlotList(tokenPresent, slots.data(), &all); rv != CKR_OK) {
        return rv;
    }
    slots.resize(all);
    std::vector<CK_SLOT_ID> ready;
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info;
        std::memset(&info, 0, sizeof info);
        if (functions->C_GetTokenInfo(slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED) != 0) {
            ready.push_back(slot);
        }
    }
    if (list == nullptr) {
        *count = ready.size();
        return CKR_OK;
    }
    if (*count < ready.size()) {
        *count = ready.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(list, ready.data(), ready.size() * sizeof(CK_SLOT_ID));
    *count = ready.size();
    return CKR_OK;
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                    CK_SESSION_HANDLE_PTR session) {
    return functions ? functions->C_OpenSession(slot, flags, application, notify, session) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE session) {
    return functions ? functions->C_CloseSession(session) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR pattern, CK_ULONG count) {
    return functions ? functions->C_FindObjectsInit(session, pattern, count) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maximum, CK_ULONG_PTR count) {
    return functions ? functions->C_FindObjects(session, objects, maximum, count) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) {
    return functions ? functions->C_FindObjectsFinal(session) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                          CK_ULONG count) {
    return functions ? functions->C_GetAttributeValue(session, object, attributes, count) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    return functions ? functions->C_Login(session, user, pin, length) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_Logout(CK_SESSION_HANDLE session) {
    return functions ? functions->C_Logout(session) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return functions ? functions->C_SignInit(session, mechanism, key) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV C_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
             CK_ULONG_PTR signatureLength) {
    return functions ? functions->C_Sign(session, data, length, signature, signatureLength) : CKR_CRYPTOKI_NOT_INITIALIZED;
}

}  // extern "C"
