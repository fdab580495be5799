/*
 * Makes the benchmark's certificates and card objects in one process each,
 * where a command-line tool per certificate would take minutes at scale.
 *
 *   fixtures mint CA.pem CA.key SUBJECT-KEY.pem COUNT FIRST OUT-PREFIX
 *       COUNT certificates for the one subject key, signed by the CA, with the
 *       extensions of a qualified signature certificate; serials and names
 *       count up from FIRST; written to OUT-PREFIX<n>.der.
 *   fixtures card MODULE TOKEN-LABEL PIN FILE...
 *       writes each DER certificate file as a public certificate object
 *       (CKA_ID = its position from 1, in as few bytes as it takes) on the
 *       token with that label.
 */
#include <p11-kit/pkcs11.h>

#include <openssl/conf.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void die(const char* what) {
    fprintf(stderr, "fixtures: %s\n", what);
    ERR_print_errors_fp(stderr);
    exit(1);
}

static void* readPem(const char* path, int key) {
    FILE* file = fopen(path, "r");
    if (file == NULL) die(path);
    void* object = key ? (void*)PEM_read_PrivateKey(file, NULL, NULL, NULL) : (void*)PEM_read_X509(file, NULL, NULL, NULL);
    fclose(file);
    if (object == NULL) die(path);
    return object;
}

static void addExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(NULL, context, nid, value);
    if (extension == NULL || !X509_add_ext(certificate, extension, -1)) die(value);
    X509_EXTENSION_free(extension);
}

static int mint(char** argv) {
    X509* ca = readPem(argv[0], 0);
    EVP_PKEY* caKey = readPem(argv[1], 1);
    EVP_PKEY* subjectKey = readPem(argv[2], 1);
    const long count = atol(argv[3]);
    const long first = atol(argv[4]);
    const char* prefix = argv[5];
    CONF* settings = NCONF_new(NULL);  /* empty: every extension is given in full below */
    static const char* names[] = {"Ayşe Yılmaz", "Mehmet Öztürk", "Çağla Şahin", "İsmail Güneş"};
    for (long i = first; i < first + count; ++i) {
        X509* certificate = X509_new();
        X509_set_version(certificate, X509_VERSION_3);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 0x10000000L + i);
        X509_NAME* subject = X509_NAME_new();
        char serial[32], common[96];
        snprintf(serial, sizeof serial, "%011ld", 10000000000L + i);
        snprintf(common, sizeof common, "%s %ld", names[i % 4], i);
        X509_NAME_add_entry_by_txt(subject, "C", MBSTRING_ASC, (const unsigned char*)"TR", -1, -1, 0);
        X509_NAME_add_entry_by_txt(subject, "serialNumber", MBSTRING_ASC, (const unsigned char*)serial, -1, -1, 0);
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, (const unsigned char*)common, -1, -1, 0);
        X509_set_subject_name(certificate, subject);
        X509_NAME_free(subject);
        X509_set_issuer_name(certificate, X509_get_subject_name(ca));
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 2L * 365 * 86400);
        X509_set_pubkey(certificate, subjectKey);
        X509V3_CTX context;
        X509V3_set_ctx(&context, ca, certificate, NULL, NULL, 0);
        X509V3_set_nconf(&context, settings);
        addExtension(certificate, &context, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(certificate, &context, NID_key_usage, "critical,nonRepudiation");
        addExtension(certificate, &context, NID_subject_key_identifier, "hash");
        addExtension(certificate, &context, NID_authority_key_identifier, "keyid");
        addExtension(certificate, &context, NID_certificate_policies, "2.16.792.1.2.1.1.5.7.1.9,0.4.0.194112.1.2");
        addExtension(certificate, &context, NID_crl_distribution_points, "URI:http://depo.example.tr/kok.crl");
        addExtension(certificate, &context, NID_info_access,
                     "caIssuers;URI:http://depo.example.tr/kok.crt,OCSP;URI:http://ocsp.example.tr");
        if (X509_sign(certificate, caKey, EVP_sha256()) <= 0) die("X509_sign");
        char path[4096];
        snprintf(path, sizeof path, "%s%ld.der", prefix, i);
        FILE* out = fopen(path, "wb");
        if (out == NULL || i2d_X509_fp(out, certificate) != 1 || fclose(out) != 0) die(path);
        X509_free(certificate);
    }
    return 0;
}

static CK_FUNCTION_LIST_PTR p11;

static void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) {
        fprintf(stderr, "fixtures: %s: 0x%lx\n", what, (unsigned long)rv);
        exit(1);
    }
}

static int card(int argc, char** argv) {
    void* module = dlopen(argv[0], RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) die(dlerror());
    CK_C_GetFunctionList getList = (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList");
    if (getList == NULL) die("C_GetFunctionList");
    check(getList(&p11), "C_GetFunctionList");
    check(p11->C_Initialize(NULL), "C_Initialize");
    CK_SLOT_ID slots[64];
    CK_ULONG slotCount = 64;
    check(p11->C_GetSlotList(CK_TRUE, slots, &slotCount), "C_GetSlotList");
    CK_SLOT_ID slot = 0;
    int found = 0;
    for (CK_ULONG i = 0; i < slotCount && !found; ++i) {
        CK_TOKEN_INFO info;
        if (p11->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
        char label[33];
        memcpy(label, info.label, 32);
        label[32] = '\0';
        for (int end = 31; end >= 0 && label[end] == ' '; --end) label[end] = '\0';
        if (strcmp(label, argv[1]) == 0) {
            slot = slots[i];
            found = 1;
        }
    }
    if (!found) die("no such token");
    CK_SESSION_HANDLE session;
    check(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, &session), "C_OpenSession");
    check(p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)argv[2], strlen(argv[2])), "C_Login");
    for (int i = 3; i < argc; ++i) {
        FILE* file = fopen(argv[i], "rb");
        if (file == NULL) die(argv[i]);
        X509* certificate = d2i_X509_fp(file, NULL);
        fclose(file);
        if (certificate == NULL) die(argv[i]);
        unsigned char* der = NULL;
        unsigned char* subject = NULL;
        const int derLength = i2d_X509(certificate, &der);
        const int subjectLength = i2d_X509_NAME(X509_get_subject_name(certificate), &subject);
        CK_OBJECT_CLASS klass = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        /* The first certificate's CKA_ID is 01, that of the token's signing key. */
        const int position = i - 2;
        unsigned char id[2] = {(unsigned char)(position >> 8), (unsigned char)position};
        const CK_ULONG idLength = position < 256 ? 1 : 2;
        char label[32];
        snprintf(label, sizeof label, "cert%d", i - 2);
        CK_ATTRIBUTE template[] = {
            {CKA_CLASS, &klass, sizeof klass},
            {CKA_CERTIFICATE_TYPE, &type, sizeof type},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_VALUE, der, (CK_ULONG)derLength},
            {CKA_SUBJECT, subject, (CK_ULONG)subjectLength},
            {CKA_ID, position < 256 ? id + 1 : id, idLength},
            {CKA_LABEL, label, (CK_ULONG)strlen(label)},
        };
        CK_OBJECT_HANDLE object;
        check(p11->C_CreateObject(session, template, sizeof template / sizeof template[0], &object), "C_CreateObject");
        OPENSSL_free(der);
        OPENSSL_free(subject);
        X509_free(certificate);
    }
    p11->C_Logout(session);
    p11->C_CloseSession(session);
    p11->C_Finalize(NULL);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 8 && strcmp(argv[1], "mint") == 0) return mint(argv + 2);
    if (argc >= 5 && strcmp(argv[1], "card") == 0) return card(argc - 2, argv + 2);
    fprintf(stderr, "usage: fixtures mint CA.pem CA.key KEY.pem COUNT FIRST PREFIX | card MODULE LABEL PIN FILE...\n");
    return 2;
}
