#pragma once

#include "main/CardProvider.hpp"

#include <string>

namespace tarvo {

// The card behind the PKCS#11 module at the path, loaded afresh for each
// operation; a challenge's PIN is asked for in the secure PIN dialog.
class ModuleCard final : public CardProvider {
public:
    explicit ModuleCard(std::string modulePath);

    void cardCertificates(const std::function<void(CardCertificate)>& take) const override;
    CardCertificate udfCertificate(const std::optional<std::string>& fingerprint) const override;
    CardSignature udfSign(const Bytes& digestInfo, SecureBytes pin,
                          const std::optional<std::string>& fingerprint) const override;
    CardSignature akisSign(const Bytes& challenge, const std::string& fingerprint) const override;

private:
    std::string modulePath_;
};

}  // namespace tarvo
