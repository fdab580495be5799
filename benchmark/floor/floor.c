/*
 * The floor of the benchmark: the least a program can do to give the helper's
 * answers. It makes the platform calls an action needs (NSS for the store, the
 * module through dlopen with the same PKCS#11 calls in the same order, OpenSSL
 * or NSS for the certificate fields and the verification) and prints the same
 * bytes; nothing more: no request to parse, no error documents, no clean-up
 * that the end of the process does anyway.
 *
 * Built three ways from these files (see scripts/benchmark.sh):
 *   floor-store (NSS, OpenSSL, dl): list MODULE | sign FINGERPRINT CHALLENGE-BASE64 [MODULE]
 *                                   (with a module the card signs when the store has no such identity)
 *   floor-card  (OpenSSL, dl):      udf-cert MODULE | udf-sign MODULE PIN DIGESTINFO-BASE64
 *   floor-nss   (NSS alone):        sign FINGERPRINT CHALLENGE-BASE64
 * The benchmark compares each answer with the helper's, byte for byte.
 */
#include "floor.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#if defined(WITH_STORE) && defined(WITH_CARD)
/* Fingerprints already listed: store entries first, then each new card entry. */
struct Listing {
    char (*seen)[65];
    size_t count;
    FILE* card;  /* card entries wait here until the whole card has been read */
};

static void add(struct Listing* listing, const char* fingerprint) {
    listing->seen = realloc(listing->seen, (listing->count + 1) * sizeof *listing->seen);
    memcpy(listing->seen[listing->count++], fingerprint, 65);
}

/* Store entries are all listed; a card entry only when its fingerprint is new. */
static int listed(struct Listing* listing, const char* fingerprint) {
    for (size_t i = 0; i < listing->count; ++i)
        if (strcmp(listing->seen[i], fingerprint) == 0) return 1;
    add(listing, fingerprint);
    return 0;
}

static void cardEntry(struct CardCertificate* c, void* context) {
    struct Listing* listing = context;
    if (!listed(listing, c->fields.fingerprint)) {
        if (listing->count > 1) fputc(',', listing->card);
        printEntry(listing->card, c->der, c->length, &c->fields, CARD_LABEL);
    }
    releaseFields(&c->fields);
    free(c->der);
    free(c->id);
}

static void storeEntry(const unsigned char* der, size_t length, void* context) {
    struct Listing* listing = context;
    struct Fields fields;
    if (!readFields(der, length, &fields)) return;
    if (fields.valid) {
        add(listing, fields.fingerprint);
        if (listing->count > 1) fputc(',', stdout);
        printEntry(stdout, der, length, &fields, STORE_LABEL);
    }
    releaseFields(&fields);
}

static int list(const char* module) {
    struct Listing listing = {NULL, 0, NULL};
    fputs("{\"certificates\":[", stdout);
    eachStoreIdentity(storeEntry, &listing);
    char* card = NULL;
    size_t cardLength = 0;
    listing.card = open_memstream(&card, &cardLength);
    eachCardCertificate(module, cardEntry, &listing);
    fclose(listing.card);
    fwrite(card, 1, cardLength, stdout);
    fputs("]}\n", stdout);
    return 0;
}
#endif

#if defined(WITH_STORE) && defined(WITH_CARD)
/* The store is searched first, as the helper does; the card signs only when
 * no valid store identity has the fingerprint. */
struct StoreSearch {
    const char* fingerprint;
    int found;
};

static void storeMatch(const unsigned char* der, size_t length, void* context) {
    struct StoreSearch* search = context;
    char hex[65];
    fingerprintOf(der, length, hex);
    search->found = search->found || strcasecmp(hex, search->fingerprint) == 0;
}

static int sign(const char* fingerprint, const char* challenge, const char* module) {
    struct StoreSearch search = {fingerprint, 0};
    eachStoreIdentity(storeMatch, &search);
    return search.found ? storeSign(fingerprint, challenge) : cardSign(module, fingerprint, challenge);
}
#endif

int main(int argc, char** argv) {
#if defined(WITH_STORE) && defined(WITH_CARD)
    if (argc == 3 && strcmp(argv[1], "list") == 0) return list(argv[2]);
    if (argc == 5 && strcmp(argv[1], "sign") == 0) return sign(argv[2], argv[3], argv[4]);
#endif
#ifdef WITH_STORE
    if (argc == 4 && strcmp(argv[1], "sign") == 0) return storeSign(argv[2], argv[3]);
#endif
#ifdef WITH_CARD
    if (argc == 3 && strcmp(argv[1], "udf-cert") == 0) return udfCertificate(argv[2]);
    if (argc == 5 && strcmp(argv[1], "udf-sign") == 0) return udfSign(argv[2], argv[3], argv[4]);
#endif
    (void)argc;
    (void)argv;
    return 2;
}
