/* What every floor program shares: the fields of a certificate and the bytes
 * of the answers, written exactly as the helper writes them. */
#ifndef FLOOR_H
#define FLOOR_H

#include <stddef.h>
#include <stdio.h>
#include <time.h>

#define STORE_LABEL "macOS Keychain/CryptoTokenKit"
#define CARD_LABEL "AKİS PKCS#11"

struct Fields {
    char fingerprint[65];
    char* subject;  /* malloc'd */
    char* issuer;   /* malloc'd */
    char validFrom[80];
    char validUntil[80];
    int valid;      /* inside its validity window now */
};

/* Zero when the bytes are not a certificate or its dates cannot be read. */
int readFields(const unsigned char* der, size_t length, struct Fields* fields);
void releaseFields(struct Fields* fields);

/* Shared by both field readers. */
void fingerprintOf(const unsigned char* der, size_t length, char hex[65]);
void fingerprintDigest(const unsigned char* data, size_t length, unsigned char digest[32]);
void dateText(const struct tm* when, char text[80]);
int validBetween(const struct tm* notBefore, const struct tm* notAfter);
/* Appends "LABEL=value" (commas escaped) for the eight labelled types. */
void appendComponent(char** text, size_t* length, const char* oid, const char* value, size_t valueLength);

void printString(FILE* out, const char* text);
void printBase64(FILE* out, const unsigned char* data, size_t length);
void printEntry(FILE* out, const unsigned char* der, size_t length, const struct Fields* fields, const char* label);
void printSignAnswer(FILE* out, const unsigned char* der, size_t length, const struct Fields* fields,
                     const unsigned char* signature, size_t signatureLength);
unsigned char* decodeBase64(const char* text, size_t* length);

/* A card certificate that is valid now, with its CKA_ID (NULL when absent). */
struct CardCertificate {
    unsigned char* der;
    unsigned long length;
    unsigned char* id;
    unsigned long idLength;
    unsigned long slot;  /* where it was found: the signing session opens there */
    struct Fields fields;
};

/* Every valid certificate of every token, slot by slot, object by object; the
 * visitor owns what it is given. Loads and unloads the module around the walk. */
void eachCardCertificate(const char* module, void (*visit)(struct CardCertificate*, void*), void* context);
int udfCertificate(const char* module);
int udfSign(const char* module, const char* pin, const char* digestInfoBase64);
/* After the store has no such identity: the card signs the challenge's SHA-256
 * DigestInfo with the PIN from the pinentry on PATH. */
int cardSign(const char* module, const char* fingerprint, const char* challengeBase64);

/* Every identity of the user's store, in the store's order. */
void eachStoreIdentity(void (*visit)(const unsigned char* der, size_t length, void* context), void* context);
int storeSign(const char* fingerprint, const char* challengeBase64);

#endif
