// A PKCS#11 module for the tests that forwards every call to a real module
// (SoftHSM2) and, when the environment asks for it, misbehaves in one place:
//
//   TARVO_FAULTY_P11         <what>:<where>
//                              what:  crash  (a write to an invalid address)
//                                     hang   (the call never returns)
//                                     print  (text on standard output, then on as usual)
//                              where: an entry point (C_Login), or dlopen / dlclose for
//                                     the library's constructor and destructor
//   TARVO_FAULTY_P11_REPORT  a file that receives, just before a crash, what decides
//                            whether the crash leaves a core file:
//                            "dumpable=<0|1> core=<soft limit> <hard limit>"
//   TARVO_FAULTY_P11_TARGET  the module to forward to (default: SoftHSM2 as found at build time);
//                            one without a C_GetFunctionList of its own serves for the thirteen only
//
// Besides the thirteen entry points the helper binds by name, it offers
// C_GetFunctionList, so that the NSS tools and NSS itself can load it too.

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define FAULTY_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

void* target = nullptr;
CK_FUNCTION_LIST_PTR forwarded = nullptr;
CK_FUNCTION_LIST offered{};

bool asked(const char* what, const char* where) {
    const char* fault = std::getenv("TARVO_FAULTY_P11");
    return fault != nullptr && std::string(fault) == std::string(what) + ":" + where;
}

void reportCoreSettings() {
    const char* file = std::getenv("TARVO_FAULTY_P11_REPORT");
    rlimit core{};
    ::getrlimit(RLIMIT_CORE, &core);
    if (FILE* out = file != nullptr ? std::fopen(file, "w") : nullptr) {
        std::fprintf(out, "dumpable=%d core=%llu %llu", ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0),
                     static_cast<unsigned long long>(core.rlim_cur), static_cast<unsigned long long>(core.rlim_max));
        std::fclose(out);
    }
}

void misbehave(const char* where) {
    if (asked("print", where)) {
        // Both ways a library prints: through stdio's buffer and straight to the descriptor.
        std::printf("faulty module in %s\n", where);
        const std::string line = std::string("faulty module wrote in ") + where + "\n";
        [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
    }
    if (asked("hang", where)) {
        for (;;) {
            ::pause();
        }
    }
    if (asked("crash", where)) {
        reportCoreSettings();
        // Neither null nor misaligned, so that a sanitizer build faults here
        // instead of reporting the pointer first.
        volatile std::uintptr_t invalid = 16;
        *reinterpret_cast<volatile int*>(invalid) = 0;
    }
}

void* targetModule() {
    if (target == nullptr) {
        const char* path = std::getenv("TARVO_FAULTY_P11_TARGET");
        target = ::dlopen(path != nullptr ? path : SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (target == nullptr) {
            std::abort();
        }
    }
    return target;
}

#define BIND_BY_NAME(name) bound.name = reinterpret_cast<CK_##name>(::dlsym(targetModule(), #name))

// The thirteen entry points of the target, bound by name the way the helper
// binds them. (C_GetFunctionList may not be the target's own: a module that
// lacks it finds one in a library it links to.)
CK_FUNCTION_LIST_PTR functions() {
    static CK_FUNCTION_LIST bound{};
    if (forwarded == nullptr) {
        BIND_BY_NAME(C_Initialize);
        BIND_BY_NAME(C_Finalize);
        BIND_BY_NAME(C_GetSlotList);
        BIND_BY_NAME(C_OpenSession);
        BIND_BY_NAME(C_CloseSession);
        BIND_BY_NAME(C_FindObjectsInit);
        BIND_BY_NAME(C_FindObjects);
        BIND_BY_NAME(C_FindObjectsFinal);
        BIND_BY_NAME(C_GetAttributeValue);
        BIND_BY_NAME(C_Login);
        BIND_BY_NAME(C_Logout);
        BIND_BY_NAME(C_SignInit);
        BIND_BY_NAME(C_Sign);
        forwarded = &bound;
    }
    return forwarded;
}

__attribute__((constructor)) void loaded() { misbehave("dlopen"); }

__attribute__((destructor)) void unloaded() {
    misbehave("dlclose");
    if (target != nullptr) {
        ::dlclose(target);
    }
}

}  // namespace

#define FORWARD(name, parameters, arguments)   \
    FAULTY_EXPORT CK_RV name parameters {       \
        misbehave(#name);                       \
        return functions()->name arguments;     \
    }

FORWARD(C_Initialize, (void* arguments), (arguments))
FORWARD(C_Finalize, (void* reserved), (reserved))
FORWARD(C_GetSlotList, (CK_BBOOL present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count), (present, slots, count))
FORWARD(C_OpenSession,
        (CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify, CK_SESSION_HANDLE_PTR session),
        (slot, flags, application, notify, session))
FORWARD(C_CloseSession, (CK_SESSION_HANDLE session), (session))
FORWARD(C_FindObjectsInit, (CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR search, CK_ULONG count),
        (session, search, count))
FORWARD(C_FindObjects, (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR found, CK_ULONG room, CK_ULONG_PTR count),
        (session, found, room, count))
FORWARD(C_FindObjectsFinal, (CK_SESSION_HANDLE session), (session))
FORWARD(C_GetAttributeValue,
        (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes, CK_ULONG count),
        (session, object, attributes, count))
FORWARD(C_Login, (CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length),
        (session, user, pin, length))
FORWARD(C_Logout, (CK_SESSION_HANDLE session), (session))
FORWARD(C_SignInit, (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key),
        (session, mechanism, key))
FORWARD(C_Sign,
        (CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
         CK_ULONG_PTR signatureLength),
        (session, data, length, signature, signatureLength))

// The target's whole list, with the thirteen entry points above in place of its own.
FAULTY_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    misbehave("C_GetFunctionList");
    CK_FUNCTION_LIST_PTR whole = nullptr;
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(targetModule(), "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&whole) != CKR_OK) {
        return CKR_GENERAL_ERROR;
    }
    offered = *whole;
    offered.C_Initialize = C_Initialize;
    offered.C_Finalize = C_Finalize;
    offered.C_GetSlotList = C_GetSlotList;
    offered.C_OpenSession = C_OpenSession;
    offered.C_CloseSession = C_CloseSession;
    offered.C_FindObjectsInit = C_FindObjectsInit;
    offered.C_FindObjects = C_FindObjects;
    offered.C_FindObjectsFinal = C_FindObjectsFinal;
    offered.C_GetAttributeValue = C_GetAttributeValue;
    offered.C_Login = C_Login;
    offered.C_Logout = C_Logout;
    offered.C_SignInit = C_SignInit;
    offered.C_Sign = C_Sign;
    *list = &offered;
    return CKR_OK;
}
