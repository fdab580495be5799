/* A PKCS#11 module in front of another, for the benchmark. The module behind
 * is named by TARVO_TIMED_MODULE.
 *
 * It adds up the time spent inside the other one: loading it, and each call
 * the helper and the floors make. When this one is unloaded (or the process
 * ends) it appends the total, in nanoseconds, as one line to the file named by
 * TARVO_MODULE_TIME, if any. A program that loads the module twice appends two
 * lines; benchmark/rounds.py adds them up.
 *
 * With TARVO_ORDERED_OBJECTS set, a search gives the objects it found in the
 * order of their CKA_VALUE bytes (objects without one first, as found).
 * SoftHSM2 gives them in the order of their addresses in memory, which
 * depends on what the calling program allocated and freed before; so every
 * program sees the same order, and their answers can be compared in order. */
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
TIMED(C_GetAttributeValue, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b, CK_ATTRIBUTE_PTR c, CK_ULONG d), (a, b, c, d))

/* The objects of the search under way, in order, when TARVO_ORDERED_OBJECTS is set. */
struct Found {
    CK_OBJECT_HANDLE handle;
    CK_BYTE* value;
    CK_ULONG length;
    CK_ULONG index;
};
static struct Found* found;
static CK_ULONG foundCount, foundNext;
static int ordering;

static int byValue(const void* left, const void* right) {
    const struct Found* a = left;
    const struct Found* b = right;
    const CK_ULONG shorter = a->length < b->length ? a->length : b->length;
    const int bytes = shorter > 0 ? memcmp(a->value, b->value, shorter) : 0;
    if (bytes != 0) return bytes;
    if (a->length != b->length) return a->length < b->length ? -1 : 1;
    return a->index < b->index ? -1 : a->index > b->index;
}

static void orderAll(CK_SESSION_HANDLE session) {
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG count = 0;
    foundCount = foundNext = 0;
    do {
        if (real.C_FindObjects(session, batch, 64, &count) != CKR_OK) count = 0;
        found = realloc(found, (foundCount + count + 1) * sizeof *found);
        for (CK_ULONG i = 0; i < count; ++i) {
            struct Found* f = &found[foundCount + i];
            CK_ATTRIBUTE value = {CKA_VALUE, NULL, 0};
            f->handle = batch[i];
            f->index = foundCount + i;
            f->value = NULL;
            f->length = 0;
            if (real.C_GetAttributeValue(session, batch[i], &value, 1) == CKR_OK && value.ulValueLen != (CK_ULONG)-1) {
                value.pValue = f->value = malloc(value.ulValueLen + 1);
                if (real.C_GetAttributeValue(session, batch[i], &value, 1) == CKR_OK) f->length = value.ulValueLen;
            }
        }
        foundCount += count;
    } while (count == 64);
    real.C_FindObjectsFinal(session);
    qsort(found, foundCount, sizeof *found, byValue);
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR search, CK_ULONG count) {
    const uint64_t start = now();
    const CK_RV result = real.C_FindObjectsInit(session, search, count);
    ordering = result == CKR_OK && getenv("TARVO_ORDERED_OBJECTS") != NULL;
    if (ordering) orderAll(session);
    spent += now() - start;
    return result;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG most, CK_ULONG_PTR count) {
    const uint64_t start = now();
    CK_RV result = CKR_OK;
    if (ordering) {
        *count = 0;
        while (*count < most && foundNext < foundCount) objects[(*count)++] = found[foundNext++].handle;
    } else {
        result = real.C_FindObjects(session, objects, most, count);
    }
    spent += now() - start;
    return result;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) {
    const uint64_t start = now();
    CK_RV result = CKR_OK;
    if (ordering) {
        for (CK_ULONG i = 0; i < foundCount; ++i) free(found[i].value);
        ordering = 0;
    } else {
        result = real.C_FindObjectsFinal(session);
    }
    spent += now() - start;
    return result;
}
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
