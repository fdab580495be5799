/* Certificate fields through OpenSSL's full decoder, the platform's own call. */
#define OPENSSL_SUPPRESS_DEPRECATED  /* SHA256_Init and friends: no provider set-up per process */
#include "floor.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <stdlib.h>
#include <string.h>

void fingerprintDigest(const unsigned char* data, size_t length, unsigned char digest[32]) {
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, data, length);
    SHA256_Final(digest, &context);
}

void fingerprintOf(const unsigned char* der, size_t length, char hex[65]) {
    unsigned char digest[32];
    fingerprintDigest(der, length, digest);
    for (int i = 0; i < 32; ++i) sprintf(hex + 2 * i, "%02x", digest[i]);
}

static char* valueText(const ASN1_STRING* value, int* length) {
    unsigned char* utf8 = NULL;
    *length = ASN1_STRING_to_UTF8(&utf8, value);
    if (*length >= 0) return (char*)utf8;
    const unsigned char* data = ASN1_STRING_get0_data(value);
    const int n = ASN1_STRING_length(value);
    char* text = malloc(2 * (size_t)n + 2);
    text[0] = '#';
    for (int i = 0; i < n; ++i) sprintf(text + 1 + 2 * i, "%02X", data[i]);
    *length = 2 * n + 1;
    return text;
}

static char* nameText(const X509_NAME* name) {
    char* text = calloc(1, 1);
    size_t length = 0;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        char oid[128];
        OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(entry), 1);
        int valueLength;
        char* value = valueText(X509_NAME_ENTRY_get_data(entry), &valueLength);
        appendComponent(&text, &length, oid, value, (size_t)valueLength);
        free(value);
    }
    return text;
}

static char* summary(const X509_NAME* name) {
    const int nids[] = {NID_commonName, NID_pkcs9_emailAddress};
    for (int k = 0; k < 2; ++k) {
        const int i = X509_NAME_get_index_by_NID(name, nids[k], -1);
        if (i >= 0) {
            int length;
            char* text = valueText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)), &length);
            text = realloc(text, (size_t)length + 1);
            text[length] = '\0';
            return text;
        }
    }
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_COMMA_PLUS | XN_FLAG_FN_SN);
    char* data;
    const long length = BIO_get_mem_data(bio, &data);
    char* text = strndup(data, (size_t)length);
    BIO_free(bio);
    return text;
}

int readFields(const unsigned char* der, size_t length, struct Fields* f) {
    const unsigned char* cursor = der;
    X509* x509 = d2i_X509(NULL, &cursor, (long)length);
    struct tm notBefore, notAfter;
    if (x509 == NULL || cursor != der + length || ASN1_TIME_to_tm(X509_get0_notBefore(x509), &notBefore) != 1 ||
        ASN1_TIME_to_tm(X509_get0_notAfter(x509), &notAfter) != 1) {
        X509_free(x509);
        ERR_clear_error();
        return 0;
    }
    fingerprintOf(der, length, f->fingerprint);
    f->valid = validBetween(&notBefore, &notAfter);
    dateText(&notBefore, f->validFrom);
    dateText(&notAfter, f->validUntil);
    f->subject = nameText(X509_get_subject_name(x509));
    if (f->subject[0] == '\0' && X509_NAME_entry_count(X509_get_subject_name(x509)) > 0) {
        free(f->subject);
        f->subject = summary(X509_get_subject_name(x509));
    }
    f->issuer = nameText(X509_get_issuer_name(x509));
    X509_free(x509);
    return 1;
}
