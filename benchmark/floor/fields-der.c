/* Certificate fields read straight from the DER bytes, with no library: the
 * least any implementation must do to print them. Only the usual shapes
 * (names of character strings, times of the two forms RFC 5280 allows) are
 * read; the benchmark compares every answer with the helper's. The
 * fingerprint comes from a library that the program has loaded anyway: NSS
 * once the store is open, OpenSSL where signatures are verified with it, else
 * a plain SHA-256 of our own. */
#include "floor.h"

#ifdef WITH_STORE
#include <nss.h>
#include <pk11pub.h>
#endif
#ifdef WITH_VERIFY
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#endif

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if !defined(WITH_VERIFY)
static const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98,
    0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8,
    0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819,
    0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};
#define ROTATE(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

static void block(uint32_t h[8], const unsigned char* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i)
        w[i] = w[i - 16] + (ROTATE(w[i - 15], 7) ^ ROTATE(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
               (ROTATE(w[i - 2], 17) ^ ROTATE(w[i - 2], 19) ^ (w[i - 2] >> 10));
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = k + (ROTATE(e, 6) ^ ROTATE(e, 11) ^ ROTATE(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        const uint32_t t2 = (ROTATE(a, 2) ^ ROTATE(a, 13) ^ ROTATE(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += k;
}

static void plainSha256(const unsigned char* data, size_t length, unsigned char digest[32]) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    size_t i = 0;
    for (; i + 64 <= length; i += 64) block(h, data + i);
    unsigned char last[128] = {0};
    memcpy(last, data + i, length - i);
    last[length - i] = 0x80;
    const size_t size = length - i + 9 <= 64 ? 64 : 128;
    for (int k = 0; k < 8; ++k) last[size - 1 - k] = (unsigned char)(((uint64_t)length * 8) >> (8 * k));
    for (size_t k = 0; k < size; k += 64) block(h, last + k);
    for (int k = 0; k < 32; ++k) digest[k] = (unsigned char)(h[k / 4] >> (24 - 8 * (k % 4)));
}
#endif

void fingerprintDigest(const unsigned char* data, size_t length, unsigned char digest[32]) {
#ifdef WITH_STORE
    if (NSS_IsInitialized()) {
        PK11_HashBuf(SEC_OID_SHA256, digest, data, (PRInt32)length);
        return;
    }
#endif
#ifdef WITH_VERIFY
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, data, length);
    SHA256_Final(digest, &context);
#else
    plainSha256(data, length, digest);
#endif
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
