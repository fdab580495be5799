#pragma once

// The card's values are all the actions see of the card folder.
#include "card/CardCertificates.hpp"
#include "card/CardSignature.hpp"
#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <functional>
#include <optional>
#include <string>

namespace tarvo {

// The AKİS card as the actions see it. The program reaches it through the
// module chosen for the run (ModuleCard); tests give their own.
class CardProvider {
public:
    CardProvider() = default;
    CardProvider(const CardProvider&) = delete;
    CardProvider& operator=(const CardProvider&) = delete;
    virtual ~CardProvider() = default;

    // Each valid card certificate, handed over one by one; throws HelperError
    // when the enumeration fails, after which what was handed over counts for nothing.
    virtual void cardCertificates(const std::function<void(CardCertificate)>& take) const = 0;

    // The certificate that signs documents: the one with that fingerprint, else the card's first.
    virtual CardCertificate udfCertificate(const std::optional<std::string>& fingerprint) const = 0;

    // Signs the agent's DigestInfo with the PIN the agent supplied.
    virtual CardSignature udfSign(const Bytes& digestInfo, SecureBytes pin,
                                  const std::optional<std::string>& fingerprint) const = 0;

    // Signs a challenge after asking the person at the machine for the PIN.
    virtual CardSignature akisSign(const Bytes& challenge, const std::string& fingerprint) const = 0;
};

}  // namespace tarvo
