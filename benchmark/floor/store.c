/* The store side of the floor: the user's NSS database, its identities and keys. */
#include "floor.h"

#include <cert.h>
#include <cryptohi.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>

#include <stdlib.h>
#include <string.h>
#include <strings.h>

static CERTCertList* storeIdentities(void) {
    char directory[4096];
    snprintf(directory, sizeof directory, "sql:%s/.pki/nssdb", getenv("HOME"));
    if (NSS_InitContext(directory, "", "", SECMOD_DB, NULL,
                        NSS_INIT_READONLY | NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE) == NULL)
        return NULL;
    return PK11_ListCerts(PK11CertListUser, NULL);
}

/* The first valid store identity with that fingerprint signs the challenge. */
int storeSign(const char* fingerprint, const char* challengeBase64) {
    size_t challengeLength;
    unsigned char* challenge = decodeBase64(challengeBase64, &challengeLength);
    CERTCertList* list = storeIdentities();
    for (CERTCertListNode* node = list ? CERT_LIST_HEAD(list) : NULL; node && !CERT_LIST_END(node, list);
         node = CERT_LIST_NEXT(node)) {
        const SECItem* der = &node->cert->derCert;
        char hex[65];
        fingerprintOf(der->data, der->len, hex);
        struct Fields fields;
        if (strcasecmp(hex, fingerprint) != 0 || !readFields(der->data, der->len, &fields) || !fields.valid) continue;
        SECKEYPrivateKey* key = PK11_FindKeyByAnyCert(node->cert, NULL);
        if (key == NULL) return 2;
        const SECOidTag algorithm = SECKEY_GetPrivateKeyType(key) == rsaKey ? SEC_OID_PKCS1_SHA256_WITH_RSA_ENCRYPTION
                                                                            : SEC_OID_ANSIX962_ECDSA_SHA256_SIGNATURE;
        SECItem signature = {siBuffer, NULL, 0};
        if (SEC_SignData(&signature, challenge, (int)challengeLength, key, algorithm) != SECSuccess) return 2;
        printSignAnswer(stdout, der->data, der->len, &fields, signature.data, signature.len);
        return 0;
    }
    return 2;
}

void eachStoreIdentity(void (*visit)(const unsigned char* der, size_t length, void* context), void* context) {
    CERTCertList* list = storeIdentities();
    for (CERTCertListNode* node = list ? CERT_LIST_HEAD(list) : NULL; node && !CERT_LIST_END(node, list);
         node = CERT_LIST_NEXT(node))
        visit(node->cert->derCert.data, node->cert->derCert.len, context);
}
