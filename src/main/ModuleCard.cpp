#include "main/ModuleCard.hpp"

#include "card/ChallengeSigning.hpp"
#include "card/DigestSigning.hpp"
#include "pin/PinPrompt.hpp"

#include <utility>

namespace tarvo {

ModuleCard::ModuleCard(std::string modulePath) : modulePath_(std::move(modulePath)) {}

void ModuleCard::cardCertificates(const std::function<void(CardCertificate)>& take) const {
    akisCertificates(modulePath_, take);
}

CardCertificate ModuleCard::udfCertificate(const std::optional<std::string>& fingerprint) const {
    return tarvo::udfCertificate(modulePath_, fingerprint);
}

CardSignature ModuleCard::udfSign(const Bytes& digestInfo, SecureBytes pin,
                                  const std::optional<std::string>& fingerprint) const {
    return tarvo::udfSign(modulePath_, digestInfo, std::move(pin), fingerprint);
}

CardSignature ModuleCard::akisSign(const Bytes& challenge, const std::string& fingerprint) const {
    return tarvo::akisSign(modulePath_, challenge, fingerprint, securePINPrompt);
}

}  // namespace tarvo
