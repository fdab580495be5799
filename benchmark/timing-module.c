/* A PKCS#11 module in front of another that adds up the time spent inside the
 * other one: loading it, and each call the helper and the floors make. The
 * module behind is named by TARVO_TIMED_MODULE; when this one is unloaded (or
 * the process ends) it appends the total, in nanoseconds, as one line to the
 * file named by TARVO_MODULE_TIME. A program that loads the module twice
 * appends two lines; benchmark/rounds.py adds them up. */
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static void* behind;
static CK_FUNCTION_LIST real;
static CK_FUNCTION_LIST timed;
static uint64_t spent;

static uint64_t now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

__attribute__((constructor)) static void load(void) {
    const uint64_t start = now();
    const char* path = getenv("TARVO_TIMED_MODULE");
    behind = path != NULL ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
    CK_C_GetFunctionList list = behind != NULL ? (CK_C_GetFunctionList)dlsym(behind, "C_GetFunctionList") : NULL;
    CK_FUNCTION_LIST_PTR functions = NULL;
    if (list == NULL || list(&functions) != CKR_OK) abort();
    real = *functions;
    spent += now() - start;
}

__attribute__((destructor)) static void unload(void) {
    const uint64_t start = now();
    dlclose(behind);
    spent += now() - start;
    const char* file = getenv("TARVO_MODULE_TIME");
    FILE* out = file != NULL ? fopen(file, "a") : NULL;
    if (out != NULL) {
        fprintf(out, "%llu\n", (unsigned long long)spent);
        fclose(out);
    }
}

#define TIMED(name, parameters, arguments)             \
    CK_RV name parameters {                            \
        const uint64_t start = now();                  \
        const CK_RV result = real.name arguments;      \
        spent += now() - start;                        \
        return result;                                 \
    }

TIMED(C_Initialize, (CK_VOID_PTR a), (a))
TIMED(C_Finalize, (CK_VOID_PTR a), (a))
TIMED(C_GetSlotList, (CK_BBOOL a, CK_SLOT_ID_PTR b, CK_ULONG_PTR c), (a, b, c))
TIMED(C_GetTokenInfo, (CK_SLOT_ID a, CK_TOKEN_INFO_PTR b), (a, b))
TIMED(C_OpenSession, (CK_SLOT_ID a, CK_FLAGS b, CK_VOID_PTR c, CK_NOTIFY d, CK_SESSION_HANDLE_PTR e), (a, b, c, d, e))
TIMED(C_CloseSession, (CK_SESSION_HANDLE a), (a))
TIMED(C_FindObjectsInit, (CK_SESSION_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c), (a, b, c))
TIMED(C_FindObjects, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE_PTR b, CK_ULONG c, CK_ULONG_PTR d), (a, b, c, d))
TIMED(C_FindObjectsFinal, (CK_SESSION_HANDLE a), (a))
TIMED(C_GetAttributeValue, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b, CK_ATTRIBUTE_PTR c, CK_ULONG d), (a, b, c, d))
TIMED(C_Login, (CK_SESSION_HANDLE a, CK_USER_TYPE b, CK_UTF8CHAR_PTR c, CK_ULONG d), (a, b, c, d))
TIMED(C_Logout, (CK_SESSION_HANDLE a), (a))
TIMED(C_SignInit, (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c), (a, b, c))
TIMED(C_Sign, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG_PTR e), (a, b, c, d, e))

/* For tools that take the whole list: the calls above timed, the others
 * straight to the module behind. */
CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    timed = real;
#define OURS(name) timed.name = name
    OURS(C_Initialize); OURS(C_Finalize); OURS(C_GetSlotList); OURS(C_GetTokenInfo); OURS(C_OpenSession);
    OURS(C_CloseSession); OURS(C_FindObjectsInit); OURS(C_FindObjects); OURS(C_FindObjectsFinal);
    OURS(C_GetAttributeValue); OURS(C_Login); OURS(C_Logout); OURS(C_SignInit); OURS(C_Sign);
#undef OURS
    *list = &timed;
    return CKR_OK;
}
