#pragma once

#include "certificate/CertificateRecord.hpp"
#include "platform/Bytes.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

// A card certificate with the CKA_ID of its object (absent when unreadable or empty).
struct CardCertificate {
    CertificateRecord record;
    std::optional<Bytes> id;
};

// Every valid certificate of every token, slot by slot, object by object.
std::vector<CardCertificate> akisCertificates();
// The same, each handed over as soon as it is read. On a failure the module is
// still closed, and the caller must drop what it was handed: the enumeration
// as a whole has failed.
void eachCardCertificate(const std::function<void(CardCertificate)>& take);

// The card certificate for documents: the first whose fingerprint matches
// (ignoring letter case), else the card's first certificate.
CardCertificate udfCertificate(const std::optional<std::string>& fingerprint);

// Case-insensitive comparison of fingerprint texts (ASCII letters only, as
// fingerprints are hexadecimal).
bool sameFingerprint(const std::string& a, const std::string& b);

}  // namespace tarvo
