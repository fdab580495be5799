#include "floor.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

void dateText(const struct tm* t, char text[80]) {
    snprintf(text, 80, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday,
             t->tm_hour, t->tm_min, t->tm_sec);
}

int validBetween(const struct tm* notBefore, const struct tm* notAfter) {
    struct tm a = *notBefore, b = *notAfter;
    const time_t now = time(NULL);
    return timegm(&a) <= now && now <= timegm(&b);
}

static const char* labelOf(const char* oid) {
    static const char* const labels[][2] = {
        {"2.5.4.3", "CN"}, {"2.5.4.6", "C"}, {"2.5.4.10", "O"}, {"2.5.4.11", "OU"}, {"2.5.4.5", "SERIALNUMBER"},
        {"2.5.4.7", "L"}, {"2.5.4.8", "ST"}, {"1.2.840.113549.1.9.1", "EMAILADDRESS"}};
    for (size_t i = 0; i < sizeof labels / sizeof labels[0]; ++i)
        if (strcmp(labels[i][0], oid) == 0) return labels[i][1];
    return NULL;
}

void appendComponent(char** text, size_t* length, const char* oid, const char* value, size_t valueLength) {
    const char* label = labelOf(oid);
    if (label == NULL) return;
    *text = realloc(*text, *length + strlen(label) + 2 * valueLength + 4);
    char* out = *text + *length;
    if (*length > 0) {
        *out++ = ',';
        *out++ = ' ';
    }
    out = stpcpy(out, label);
    *out++ = '=';
    for (size_t i = 0; i < valueLength; ++i) {
        if (value[i] == ',') *out++ = '\\';
        *out++ = value[i];
    }
    *out = '\0';
    *length = (size_t)(out - *text);
}

void printString(FILE* out, const char* text) {
    fputc('"', out);
    for (const unsigned char* c = (const unsigned char*)text; *c; ++c) {
        switch (*c) {
            case '"': fputs("\\\"", out); break;
            case '\\': fputs("\\\\", out); break;
            case '/': fputs("\\/", out); break;
            case '\b': fputs("\\b", out); break;
            case '\f': fputs("\\f", out); break;
            case '\n': fputs("\\n", out); break;
            case '\r': fputs("\\r", out); break;
            case '\t': fputs("\\t", out); break;
            default:
                if (*c < 0x20) fprintf(out, "\\u%04x", *c);
                else fputc(*c, out);
        }
    }
    fputc('"', out);
}

static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void printBase64(FILE* out, const unsigned char* d, size_t n) {
    char chunk[4];
    fputc('"', out);
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v = (uint32_t)d[i] << 16 | (i + 1 < n ? (uint32_t)d[i + 1] << 8 : 0) | (i + 2 < n ? d[i + 2] : 0);
        chunk[0] = alphabet[v >> 18];
        chunk[1] = alphabet[(v >> 12) & 63];
        chunk[2] = i + 1 < n ? alphabet[(v >> 6) & 63] : '=';
        chunk[3] = i + 2 < n ? alphabet[v & 63] : '=';
        for (int k = 0; k < 4; ++k) {
            if (chunk[k] == '/') fputc('\\', out);  /* JSON text as the helper writes it */
            fputc(chunk[k], out);
        }
    }
    fputc('"', out);
}

unsigned char* decodeBase64(const char* text, size_t* length) {
    const size_t n = strlen(text);
    unsigned char* out = malloc(n / 4 * 3 + 3);
    size_t o = 0;
    uint32_t v = 0;
    int bits = 0;
    for (size_t i = 0; i < n && text[i] != '='; ++i) {
        v = v << 6 | (uint32_t)(strchr(alphabet, text[i]) - alphabet);
        if ((bits += 6) >= 8) {
            bits -= 8;
            out[o++] = (unsigned char)(v >> bits);
        }
    }
    *length = o;
    return out;
}

/* The serial number's content, last byte first, as the helper writes it. */
static void serialText(const unsigned char* b, size_t n, char* text) {
    text[0] = '\0';
    if (n < 9 || b[0] != 0x30) return;
    size_t p = b[1] < 0x80 ? 2 : 2 + (b[1] & 0x7F);
    if (p + 1 >= n || b[p] != 0x30) return;
    size_t q = b[p + 1] < 0x80 ? p + 2 : p + 2 + (b[p + 1] & 0x7F);
    if (q + 1 >= n) return;
    if (b[q] == 0xA0) q += 2 + b[q + 1];
    if (q + 1 >= n || b[q] != 0x02 || b[q + 1] >= 0x80 || b[q + 1] == 0 || q + 2 + b[q + 1] > n) return;
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = q + 2 + b[q + 1]; i > q + 2; --i) {
        *text++ = digits[b[i - 1] >> 4];
        *text++ = digits[b[i - 1] & 15];
    }
    *text = '\0';
}

static void printCommon(FILE* out, const unsigned char* der, size_t length, const struct Fields* f) {
    char serial[300];
    serialText(der, length, serial);
    fputs("\"certificate\":", out);
    printBase64(out, der, length);
    fprintf(out, ",\"certificateSerial\":\"%s\",\"certificateSubject\":", serial);
    printString(out, f->subject);
    fprintf(out, ",\"fingerprint\":\"%s\",\"identityFingerprint\":\"%s\",\"provider\":", f->fingerprint,
            f->fingerprint);
}

void printEntry(FILE* out, const unsigned char* der, size_t length, const struct Fields* f, const char* label) {
    fputc('{', out);
    printCommon(out, der, length, f);
    printString(out, f->issuer[0] != '\0' ? f->issuer : label);
    fputs(",\"providerName\":", out);
    printString(out, label);
    fprintf(out, ",\"validFrom\":\"%s\",\"validUntil\":\"%s\"}", f->validFrom, f->validUntil);
}

void printSignAnswer(FILE* out, const unsigned char* der, size_t length, const struct Fields* f,
                     const unsigned char* signature, size_t signatureLength) {
    fputc('{', out);
    printCommon(out, der, length, f);
    printString(out, f->issuer);
    fputs(",\"signature\":", out);
    printBase64(out, signature, signatureLength);
    fprintf(out, ",\"validFrom\":\"%s\",\"validUntil\":\"%s\"}\n", f->validFrom, f->validUntil);
}

void releaseFields(struct Fields* fields) {
    free(fields->subject);
    free(fields->issuer);
}
