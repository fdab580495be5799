/* Certificate fields read straight from the DER bytes, with no library: the
 * least any implementation must do to print them. Only the usual shapes
 * (names of character strings, times of the two forms RFC 5280 allows) are
 * read; the benchmark compares every answer with the helper's. The
 * fingerprint is hashed as the helper hashes it: by NSS while the store is
 * open, by OpenSSL's libcrypto otherwise. */
#include "floor.h"

#ifdef WITH_STORE
#include <nss.h>
#include <pk11pub.h>
#endif
/* SHA256_Init and friends: no provider set-up per process. */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <dlfcn.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if !defined(WITH_VERIFY)
/* Without verification the program does not link OpenSSL: its library is
 * loaded when a fingerprint first needs it, as the helper loads it. */
struct Sha256Library {
    int (*init)(SHA256_CTX*);
    int (*update)(SHA256_CTX*, const void*, size_t);
    int (*final)(unsigned char*, SHA256_CTX*);
};

static const struct Sha256Library* sha256Library(void) {
    static struct Sha256Library library;
    static int loaded = 0;
    if (!loaded) {
        loaded = 1;
        void* handle = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (handle == NULL) exit(3);
        *(void**)&library.init = dlsym(handle, "SHA256_Init");
        *(void**)&library.update = dlsym(handle, "SHA256_Update");
        *(void**)&library.final = dlsym(handle, "SHA256_Final");
        if (!library.init || !library.update || !library.final) exit(3);
    }
    return &library;
}
#define SHA256_Init sha256Library()->init
#define SHA256_Update sha256Library()->update
#define SHA256_Final sha256Library()->final
#endif

void fingerprintDigest(const unsigned char* data, size_t length, unsigned char digest[32]) {
#ifdef WITH_STORE
    if (NSS_IsInitialized()) {
        PK11_HashBuf(SEC_OID_SHA256, digest, data, (PRInt32)length);
        return;
    }
#endif
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, data, length);
    SHA256_Final(digest, &context);
}

void fingerprintOf(const unsigned char* der, size_t length, char hex[65]) {
    static const char digits[] = "0123456789abcdef";
    unsigned char digest[32];
    fingerprintDigest(der, length, digest);
    for (int i = 0; i < 32; ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 15];
    }
    hex[64] = '\0';
}

struct Der {
    const unsigned char* p;
    size_t n;
};

static int next(struct Der* in, unsigned char* tag, struct Der* content) {
    if (in->n < 2) return 0;
    size_t length = in->p[1], header = 2;
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count < 1 || count > 3 || in->n < 2 + count) return 0;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = length << 8 | in->p[2 + i];
        header += count;
    }
    if (in->n - header < length) return 0;
    *tag = in->p[0];
    content->p = in->p + header;
    content->n = length;
    in->p += header + length;
    in->n -= header + length;
    return 1;
}

static void appendUtf8(char* out, size_t* o, uint32_t c) {
    if (c < 0x80) out[(*o)++] = (char)c;
    else if (c < 0x800) {
        out[(*o)++] = (char)(0xC0 | c >> 6);
        out[(*o)++] = (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out[(*o)++] = (char)(0xE0 | c >> 12);
        out[(*o)++] = (char)(0x80 | (c >> 6 & 0x3F));
        out[(*o)++] = (char)(0x80 | (c & 0x3F));
    } else {
        out[(*o)++] = (char)(0xF0 | c >> 18);
        out[(*o)++] = (char)(0x80 | (c >> 12 & 0x3F));
        out[(*o)++] = (char)(0x80 | (c >> 6 & 0x3F));
        out[(*o)++] = (char)(0x80 | (c & 0x3F));
    }
}

/* The value as UTF-8: UTF8String as it is, BMPString by two bytes, the
 * one-byte strings as ISO 8859-1. */
static char* valueText(unsigned char tag, const struct Der* v, size_t* length) {
    char* text = malloc(2 * v->n + 1);
    size_t o = 0;
    if (tag == 0x0C) {
        memcpy(text, v->p, v->n);
        o = v->n;
    } else if (tag == 0x1E) {
        for (size_t i = 0; i + 1 < v->n; i += 2) appendUtf8(text, &o, (uint32_t)v->p[i] << 8 | v->p[i + 1]);
    } else {
        for (size_t i = 0; i < v->n; ++i) appendUtf8(text, &o, v->p[i]);
    }
    *length = o;
    return text;
}

static void oidText(const struct Der* oid, char* text, size_t size) {
    uint64_t value = 0;
    size_t o = 0;
    int first = 1;
    text[0] = '\0';
    for (size_t i = 0; i < oid->n && o + 24 < size; ++i) {
        value = value << 7 | (oid->p[i] & 0x7F);
        if (oid->p[i] & 0x80) continue;
        if (first) {
            const uint64_t top = value < 80 ? value / 40 : 2;
            o += (size_t)snprintf(text + o, size - o, "%llu.%llu", (unsigned long long)top,
                                  (unsigned long long)(value - top * 40));
            first = 0;
        } else {
            o += (size_t)snprintf(text + o, size - o, ".%llu", (unsigned long long)value);
        }
        value = 0;
    }
}

static char* nameText(struct Der name) {
    char* text = calloc(1, 1);
    size_t length = 0;
    unsigned char tag;
    struct Der set, attribute, oid, value;
    while (next(&name, &tag, &set)) {
        while (next(&set, &tag, &attribute)) {
            unsigned char valueTag;
            if (!next(&attribute, &tag, &oid) || !next(&attribute, &valueTag, &value)) break;
            char dotted[128];
            oidText(&oid, dotted, sizeof dotted);
            size_t valueLength;
            char* utf8 = valueText(valueTag, &value, &valueLength);
            appendComponent(&text, &length, dotted, utf8, valueLength);
            free(utf8);
        }
    }
    return text;
}

static int digits(const unsigned char* p, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

static int timeOf(unsigned char tag, const struct Der* t, struct tm* out) {
    const int yearDigits = tag == 0x17 ? 2 : 4;
    if (t->n != (size_t)yearDigits + 11 || t->p[t->n - 1] != 'Z') return 0;
    int year = digits(t->p, yearDigits);
    if (yearDigits == 2) year = year < 50 ? 2000 + year : 1900 + year;
    const unsigned char* p = t->p + yearDigits;
    memset(out, 0, sizeof *out);
    out->tm_year = year - 1900;
    out->tm_mon = digits(p, 2) - 1;
    out->tm_mday = digits(p + 2, 2);
    out->tm_hour = digits(p + 4, 2);
    out->tm_min = digits(p + 6, 2);
    out->tm_sec = digits(p + 8, 2);
    return year >= 0 && out->tm_mon >= 0 && out->tm_mday > 0 && out->tm_hour >= 0 && out->tm_min >= 0 &&
           out->tm_sec >= 0;
}

int readFields(const unsigned char* der, size_t length, struct Fields* f) {
    struct Der whole = {der, length}, certificate, tbs, skip, issuer, validity, subject;
    unsigned char tag, notBeforeTag, notAfterTag;
    struct Der notBefore, notAfter;
    struct tm from, until;
    if (!next(&whole, &tag, &certificate) || !next(&certificate, &tag, &tbs)) return 0;
    if (tbs.n > 0 && tbs.p[0] == 0xA0 && !next(&tbs, &tag, &skip)) return 0;
    if (!next(&tbs, &tag, &skip) || !next(&tbs, &tag, &skip) || !next(&tbs, &tag, &issuer) ||
        !next(&tbs, &tag, &validity) || !next(&tbs, &tag, &subject) ||
        !next(&validity, &notBeforeTag, &notBefore) || !next(&validity, &notAfterTag, &notAfter) ||
        !timeOf(notBeforeTag, &notBefore, &from) || !timeOf(notAfterTag, &notAfter, &until))
        return 0;
    fingerprintOf(der, length, f->fingerprint);
    f->valid = validBetween(&from, &until);
    dateText(&from, f->validFrom);
    dateText(&until, f->validUntil);
    f->subject = nameText(subject);
    f->issuer = nameText(issuer);
    return 1;
}
