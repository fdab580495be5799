#pragma once

#include "card/TokenSearch.hpp"
#include "certificate/CertificateRecord.hpp"
#include "platform/vocabulary/Bytes.hpp"

#include <p11-kit/pkcs11.h>

#include <functional>
#include <optional>
#include <string>

namespace tarvo {

// A card certificate with the CKA_ID of its object (absent when unreadable or
// empty), the slot whose token holds it, and that token's flags and identity
// as they were while listing (absent when the module could not say).
struct CardCertificate {
    CertificateRecord record;
    std::optional<Bytes> id;
    CK_SLOT_ID slot = 0;
    std::optional<CK_FLAGS> tokenFlags = std::nullopt;
    std::optional<TokenIdentity> token = std::nullopt;
};

// Every valid certificate of every usable token of the module at the path,
// slot by slot, object by object, each handed over as soon as it is read, so
// that nobody holds more of the card than it keeps. A slot whose token the
// module does not recognise or no longer sees is passed over like an empty
// one. On a failure the module is still closed, and the caller must drop what
// it was handed: the enumeration as a whole has failed.
void akisCertificates(const std::string& modulePath, const std::function<void(CardCertificate)>& take);

// The card certificate for documents: the first whose fingerprint matches
// (ignoring letter case), else the card's first certificate.
CardCertificate udfCertificate(const std::string& modulePath, const std::optional<std::string>& fingerprint);

}  // namespace tarvo
