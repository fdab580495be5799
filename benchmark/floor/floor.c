/*
 * The floors of the benchmark: programs that give the helper's answers with
 * nothing around them: no request to parse, no error documents, no clean-up
 * that the end of the process does anyway. Each makes the store's calls (NSS)
 * and the module's (through dlopen, the helper's PKCS#11 calls in the helper's
 * order) that an action needs, and prints the same bytes. They differ in how
 * they read a certificate's fields:
 *
 *   the least floor (fields-der.c): straight from the DER bytes, with the
 *       fingerprint from NSS while the store is open, else from libcrypto:
 *       only the calls no implementation can skip, SHA-256 and the output;
 *   the OpenSSL floor (fields-openssl.c): OpenSSL's full decoder, as a plain
 *       program built on OpenSSL would;
 *   the NSS floor (fields-nss.c): the store alone, NSS's own decoding.
 *
 * Verifying a card signature takes OpenSSL (WITH_VERIFY). Built from these
 * files in scripts/benchmark.sh; the commands are
 *   with the store and the card:  list MODULE | sign FINGERPRINT CHALLENGE-BASE64 MODULE
 *                                 (the card signs when the store has no such identity)
 *   with the store:               sign FINGERPRINT CHALLENGE-BASE64
 *   with the card:                udf-cert MODULE | udf-sign MODULE PIN DIGESTINFO-BASE64
 * The benchmark compares each answer with the helper's, byte for byte and in order.
 */
#include "floor.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#if defined(WITH_STORE) && defined(WITH_CARD)
/* Fingerprints already listed (store entries first, then each new card entry),
 * in an open-addressed table kept at most half full. */
struct Listing {
    char (*seen)[65];
    size_t count, capacity;
    size_t printed;  /* entries written, for the commas between them */
    FILE* card;  /* card entries wait here until the whole card has been read */
};

static size_t slotOf(const struct Listing* listing, const char* fingerprint) {
    size_t slot = 0;
    memcpy(&slot, fingerprint, sizeof slot);  /* hexadecimal digits of a hash: spread enough */
    slot %= listing->capacity;
    while (listing->seen[slot][0] != '\0' && strcmp(listing->seen[slot], fingerprint) != 0)
        slot = (slot + 1) % listing->capacity;
    return slot;
}

/* Adds the fingerprint; zero when it was there already. */
static int add(struct Listing* listing, const char* fingerprint) {
    if (2 * (listing->count + 1) > listing->capacity) {
        struct Listing larger = {NULL, 0, listing->capacity ? 2 * listing->capacity : 64, listing->printed,
                                 listing->card};
        larger.seen = calloc(larger.capacity, sizeof *larger.seen);
        for (size_t i = 0; i < listing->capacity; ++i)
            if (listing->seen[i][0] != '\0') add(&larger, listing->seen[i]);
        free(listing->seen);
        *listing = larger;
    }
    const size_t slot = slotOf(listing, fingerprint);
    if (listing->seen[slot][0] != '\0') return 0;
    memcpy(listing->seen[slot], fingerprint, 65);
    ++listing->count;
    return 1;
}

/* Store entries are all listed; a card entry only when its fingerprint is new. */
static int listed(struct Listing* listing, const char* fingerprint) { return !add(listing, fingerprint); }

static void cardEntry(struct CardCertificate* c, void* context) {
    struct Listing* listing = context;
    if (!listed(listing, c->fields.fingerprint)) {
        if (listing->printed++ > 0) fputc(',', listing->card);
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
        if (listing->printed++ > 0) fputc(',', stdout);
        printEntry(stdout, der, length, &fields, STORE_LABEL);
    }
    releaseFields(&fields);
}

static int list(const char* module) {
    struct Listing listing = {NULL, 0, 0, 0, NULL};
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

#if defined(WITH_STORE) && defined(WITH_CARD) && defined(WITH_VERIFY)
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
#endif
#if defined(WITH_STORE) && defined(WITH_CARD) && defined(WITH_VERIFY)
    if (argc == 5 && strcmp(argv[1], "sign") == 0) return sign(argv[2], argv[3], argv[4]);
#endif
#ifdef WITH_STORE
    if (argc == 4 && strcmp(argv[1], "sign") == 0) return storeSign(argv[2], argv[3]);
#endif
#ifdef WITH_CARD
    if (argc == 3 && strcmp(argv[1], "udf-cert") == 0) return udfCertificate(argv[2]);
#ifdef WITH_VERIFY
    if (argc == 5 && strcmp(argv[1], "udf-sign") == 0) return udfSign(argv[2], argv[3], argv[4]);
#endif
#endif
    (void)argc;
    (void)argv;
    return 2;
}
