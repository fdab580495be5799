/* Certificate fields through NSS alone: its decoder, its names, its hash. A
 * certificate of the store is taken as NSS has already decoded it. */
#include "floor.h"

#include <cert.h>
#include <certdb.h>
#include <pk11pub.h>
#include <prprf.h>
#include <secder.h>
#include <secoid.h>

#include <stdlib.h>
#include <string.h>

void fingerprintOf(const unsigned char* der, size_t length, char hex[65]) {
    unsigned char digest[32];
    PK11_HashBuf(SEC_OID_SHA256, digest, der, (PRInt32)length);
    for (int i = 0; i < 32; ++i) sprintf(hex + 2 * i, "%02x", digest[i]);
}

static char* nameText(const CERTName* name) {
    char* text = calloc(1, 1);
    size_t length = 0;
    for (CERTRDN** rdn = name->rdns; rdn != NULL && *rdn != NULL; ++rdn) {
        for (CERTAVA** ava = (*rdn)->avas; ava != NULL && *ava != NULL; ++ava) {
            char* oid = CERT_GetOidString(&(*ava)->type);  /* "OID.2.5.4.3" */
            SECItem* value = CERT_DecodeAVAValue(&(*ava)->value);
            if (oid != NULL && value != NULL)
                appendComponent(&text, &length, oid + 4, (const char*)value->data, value->len);
            if (value != NULL) SECITEM_FreeItem(value, PR_TRUE);
            PR_smprintf_free(oid);
        }
    }
    return text;
}

static int tmOf(const SECItem* time, struct tm* out) {
    PRTime when;
    if (DER_DecodeTimeChoice(&when, time) != SECSuccess) return 0;
    PRExplodedTime t;
    PR_ExplodeTime(when, PR_GMTParameters, &t);
    memset(out, 0, sizeof *out);
    out->tm_year = t.tm_year - 1900;
    out->tm_mon = t.tm_month;
    out->tm_mday = t.tm_mday;
    out->tm_hour = t.tm_hour;
    out->tm_min = t.tm_min;
    out->tm_sec = t.tm_sec;
    return 1;
}

int readFields(const unsigned char* der, size_t length, struct Fields* f) {
    SECItem item = {siBuffer, (unsigned char*)der, (unsigned int)length};
    CERTCertificate* certificate = CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &item);
    if (certificate == NULL)
        certificate = CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, NULL, PR_FALSE, PR_TRUE);
    struct tm notBefore, notAfter;
    if (certificate == NULL || !tmOf(&certificate->validity.notBefore, &notBefore) ||
        !tmOf(&certificate->validity.notAfter, &notAfter)) {
        if (certificate != NULL) CERT_DestroyCertificate(certificate);
        return 0;
    }
    fingerprintOf(der, length, f->fingerprint);
    f->valid = validBetween(&notBefore, &notAfter);
    dateText(&notBefore, f->validFrom);
    dateText(&notAfter, f->validUntil);
    f->subject = nameText(&certificate->subject);
    f->issuer = nameText(&certificate->issuer);
    CERT_DestroyCertificate(certificate);
    return 1;
}
