/* The card side of the floor: the module through dlopen, the helper's PKCS#11 calls in the helper's order. */
#include "floor.h"

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef WITH_VERIFY
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#endif

#include <stdlib.h>
#include <string.h>
#include <strings.h>

/* Only the entry points the helper resolves, one by one. */
static CK_FUNCTION_LIST p11;

static void load(const char* path) {
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) exit(3);
#define BIND(name) p11.name = (CK_##name)dlsym(module, #name)
    BIND(C_Initialize); BIND(C_Finalize); BIND(C_GetSlotList); BIND(C_OpenSession); BIND(C_CloseSession);
    BIND(C_FindObjectsInit); BIND(C_FindObjects); BIND(C_FindObjectsFinal); BIND(C_GetAttributeValue);
    BIND(C_Login); BIND(C_Logout); BIND(C_SignInit); BIND(C_Sign); BIND(C_GetTokenInfo);
#undef BIND
    if (p11.C_Initialize(NULL) != CKR_OK) exit(3);
}

static CK_ULONG slots(CK_SLOT_ID list[64]) {
    CK_ULONG count = 0;
    p11.C_GetSlotList(CK_TRUE, NULL, &count);
    if (count > 64) exit(3);
    p11.C_GetSlotList(CK_TRUE, list, &count);
    return count;
}

static CK_ULONG find(CK_SESSION_HANDLE session, CK_OBJECT_CLASS klass, const unsigned char* id, CK_ULONG idLength,
                     CK_OBJECT_HANDLE** out) {
    CK_ATTRIBUTE search[2] = {{CKA_CLASS, &klass, sizeof klass}, {CKA_ID, (void*)id, idLength}};
    p11.C_FindObjectsInit(session, search, id != NULL ? 2 : 1);
    CK_ULONG total = 0, count = 0;
    *out = NULL;
    do {
        *out = realloc(*out, (total + 32) * sizeof **out);
        p11.C_FindObjects(session, *out + total, 32, &count);
        total += count;
    } while (count == 32);
    p11.C_FindObjectsFinal(session);
    return total;
}

static unsigned char* attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                                CK_ULONG* length) {
    CK_ATTRIBUTE a = {type, NULL, 0};
    if (p11.C_GetAttributeValue(session, object, &a, 1) != CKR_OK || a.ulValueLen < 1 || a.ulValueLen > 0xFFFFF)
        return NULL;
    a.pValue = malloc(a.ulValueLen);
    if (p11.C_GetAttributeValue(session, object, &a, 1) != CKR_OK) {
        free(a.pValue);
        return NULL;
    }
    *length = a.ulValueLen;
    return a.pValue;
}

/* Every valid certificate of every token, slot by slot, object by object; the
 * visitor takes ownership. Loads and unloads the module around the walk. */
void eachCardCertificate(const char* module, void (*visit)(struct CardCertificate*, void*), void* context) {
    load(module);
    CK_SLOT_ID list[64];
    const CK_ULONG count = slots(list);
    for (CK_ULONG s = 0; s < count; ++s) {
        CK_SESSION_HANDLE session;
        const CK_RV opened = p11.C_OpenSession(list[s], CKF_SERIAL_SESSION, NULL, NULL, &session);
        /* A blank or absent token counts as an empty slot, as SoftHSM2's spare one. */
        if (opened == CKR_TOKEN_NOT_RECOGNIZED || opened == CKR_TOKEN_NOT_PRESENT) continue;
        if (opened != CKR_OK) exit(3);
        CK_TOKEN_INFO token;
        p11.C_GetTokenInfo(list[s], &token);
        CK_OBJECT_HANDLE* objects;
        const CK_ULONG n = find(session, CKO_CERTIFICATE, NULL, 0, &objects);
        for (CK_ULONG i = 0; i < n; ++i) {
            struct CardCertificate c = {NULL, 0, NULL, 0, 0, {{0}, NULL, NULL, {0}, {0}, 0}};
            c.der = attribute(session, objects[i], CKA_VALUE, &c.length);
            if (c.der == NULL || !readFields(c.der, c.length, &c.fields)) {
                free(c.der);
                continue;
            }
            if (!c.fields.valid) {
                releaseFields(&c.fields);
                free(c.der);
                continue;
            }
            c.id = attribute(session, objects[i], CKA_ID, &c.idLength);
            c.slot = list[s];
            visit(&c, context);
        }
        free(objects);
        p11.C_CloseSession(session);
    }
    p11.C_Finalize(NULL);
}

static void keepFirst(struct CardCertificate* c, void* context) {
    struct CardCertificate* first = context;
    if (first->der == NULL) *first = *c;
}

struct Chosen {
    const char* fingerprint;
    struct CardCertificate match, first;
};

static void choose(struct CardCertificate* c, void* context) {
    struct Chosen* chosen = context;
    if (chosen->match.der == NULL && chosen->fingerprint != NULL &&
        strcasecmp(chosen->fingerprint, c->fields.fingerprint) == 0)
        chosen->match = *c;
    keepFirst(c, &chosen->first);
}

static struct CardCertificate documentCertificate(const char* module, const char* fingerprint) {
    struct Chosen chosen = {fingerprint, {0}, {0}};
    eachCardCertificate(module, choose, &chosen);
    if (chosen.match.der != NULL) return chosen.match;
    if (chosen.first.der == NULL) exit(2);
    return chosen.first;
}

int udfCertificate(const char* module) {
    const struct CardCertificate c = documentCertificate(module, NULL);
    fputs("{\"certificate\":", stdout);
    printBase64(stdout, c.der, c.length);
    printf(",\"identityFingerprint\":\"%s\"}\n", c.fields.fingerprint);
    return 0;
}

#ifdef WITH_VERIFY
/* The certificate's RSA key verifies a PKCS#1 v1.5 signature of a SHA-256 digest. */
static int verified(const struct CardCertificate* c, const unsigned char* digest, const unsigned char* signature,
                    CK_ULONG length) {
    const unsigned char* cursor = c->der;
    X509* x509 = d2i_X509(NULL, &cursor, (long)c->length);
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(X509_get0_pubkey(x509), NULL);
    return EVP_PKEY_verify_init(context) == 1 && EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
           EVP_PKEY_verify(context, signature, length, digest, 32) == 1;
}

/* The signing lifetime's start: the module again, a session on the
 * certificate's slot and the one login. */
static CK_SESSION_HANDLE loggedIn(const char* module, CK_SLOT_ID slot, const char* pin, int readFlagsFirst) {
    load(module);
    CK_SLOT_ID list[64];
    const CK_ULONG count = slots(list);
    CK_ULONG s = 0;
    while (s < count && list[s] != slot) ++s;
    if (s == count) exit(2);
    CK_SESSION_HANDLE session;
    if (p11.C_OpenSession(slot, CKF_SERIAL_SESSION, NULL, NULL, &session) != CKR_OK) exit(2);
    if (readFlagsFirst) {
        CK_TOKEN_INFO token;
        p11.C_GetTokenInfo(slot, &token);
    }
    if (p11.C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin, strlen(pin)) != CKR_OK) exit(2);
    return session;
}

int udfSign(const char* module, const char* pin, const char* digestInfoBase64) {
    size_t digestInfoLength;
    unsigned char* digestInfo = decodeBase64(digestInfoBase64, &digestInfoLength);
    const struct CardCertificate c = documentCertificate(module, NULL);
    const CK_SESSION_HANDLE session = loggedIn(module, c.slot, pin, 1);
    CK_OBJECT_HANDLE* keys;
    /* The key of the certificate's CKA_ID, else the token's first key. */
    if ((c.id == NULL || find(session, CKO_PRIVATE_KEY, c.id, c.idLength, &keys) == 0) &&
        find(session, CKO_PRIVATE_KEY, NULL, 0, &keys) == 0)
        exit(2);
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, NULL, 0};
    p11.C_SignInit(session, &mechanism, keys[0]);
    CK_ULONG length = 0;
    p11.C_Sign(session, digestInfo, digestInfoLength, NULL, &length);
    unsigned char* signature = malloc(length);
    if (p11.C_Sign(session, digestInfo, digestInfoLength, signature, &length) != CKR_OK) exit(2);
    p11.C_Logout(session);
    p11.C_CloseSession(session);
    p11.C_Finalize(NULL);
    if (!verified(&c, digestInfo + digestInfoLength - 32, signature, length)) exit(2);
    fputs("{\"certificate\":", stdout);
    printBase64(stdout, c.der, c.length);
    fputs(",\"signature\":", stdout);
    printBase64(stdout, signature, length);
    fputs("}\n", stdout);
    return 0;
}

/* The PIN from the pinentry on PATH, asked as the helper asks: titles, GETPIN, BYE. */
static int askPin(char* pin, size_t size) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return 0;
    const pid_t child = fork();
    if (child == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[1]);
        close(fromChild[0]);
        execlp("pinentry", "pinentry", (char*)NULL);
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    FILE* in = fdopen(fromChild[0], "r");
    FILE* out = fdopen(toChild[1], "w");
    char line[1024];
    int found = 0;
    static const char* const commands[] = {"SETTITLE AK%C4%B0S kart%C4%B1 PIN", "SETDESC Kart PIN'inizi girin",
                                           "SETPROMPT PIN:", "SETOK Tamam", "SETCANCEL Vazge%C3%A7", "GETPIN"};
    if (fgets(line, sizeof line, in) == NULL) return 0;
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        fprintf(out, "%s\n", commands[i]);
        fflush(out);
        while (fgets(line, sizeof line, in) != NULL && strncmp(line, "OK", 2) != 0 && strncmp(line, "ERR", 3) != 0)
            if (strncmp(line, "D ", 2) == 0) {
                const size_t n = strcspn(line + 2, "\n");
                if (n >= size) return 0;
                memcpy(pin, line + 2, n);
                pin[n] = '\0';
                found = 1;
            }
    }
    fputs("BYE\n", out);
    fflush(out);
    while (fgets(line, sizeof line, in) != NULL) {
    }
    waitpid(child, NULL, 0);
    return found;
}

int cardSign(const char* module, const char* fingerprint, const char* challengeBase64) {
    size_t challengeLength;
    unsigned char* challenge = decodeBase64(challengeBase64, &challengeLength);
    struct Chosen chosen = {fingerprint, {0}, {0}};
    eachCardCertificate(module, choose, &chosen);
    struct CardCertificate c = chosen.match;
    if (c.der == NULL || c.id == NULL) exit(2);
    const unsigned char* cursor = c.der;
    X509* x509 = d2i_X509(NULL, &cursor, (long)c.length);
    EVP_PKEY* key = X509_get0_pubkey(x509);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) exit(2);
    char pin[256];
    if (!askPin(pin, sizeof pin)) exit(2);
    unsigned char digestInfo[51] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04,
                                    0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    fingerprintDigest(challenge, challengeLength, digestInfo + 19);
    const CK_SESSION_HANDLE session = loggedIn(module, c.slot, pin, 0);
    CK_OBJECT_HANDLE* keys;
    if (find(session, CKO_PRIVATE_KEY, c.id, c.idLength, &keys) == 0) exit(2);
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, NULL, 0};
    p11.C_SignInit(session, &mechanism, keys[0]);
    CK_ULONG length = 0;
    p11.C_Sign(session, digestInfo, sizeof digestInfo, NULL, &length);
    unsigned char* signature = malloc(length);
    if (p11.C_Sign(session, digestInfo, sizeof digestInfo, signature, &length) != CKR_OK) exit(2);
    p11.C_Logout(session);
    p11.C_CloseSession(session);
    p11.C_Finalize(NULL);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_PKEY_CTX* keyContext = NULL;
    if (EVP_DigestVerifyInit(context, &keyContext, EVP_sha256(), NULL, key) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) != 1 ||
        EVP_DigestVerify(context, signature, length, challenge, challengeLength) != 1)
        exit(2);
    printSignAnswer(stdout, c.der, c.length, &c.fields, signature, length);
    return 0;
}
#endif
