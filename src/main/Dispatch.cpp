#include "main/Actions.hpp"

#include "main/KeychainRecords.hpp"
#include "pin/PinPrompt.hpp"
#include "platform/HelperError.hpp"
#include "platform/Keychain.hpp"
#include "platform/Messages.hpp"

namespace tarvo {

Providers systemProviders(const std::string& modulePath) {
    return {
        .keychainRecords = [] { return tarvo::keychainRecords(platform::Keychain::open()); },
        .cardCertificates = [modulePath] { return akisCertificates(modulePath); },
        .documentCertificate =
            [modulePath](const std::optional<std::string>& fingerprint) {
                return udfCertificate(modulePath, fingerprint);
            },
        .signDigest =
            [modulePath](const Bytes& digestInfo, SecureBytes pin, const std::optional<std::string>& fingerprint) {
                return udfSign(modulePath, digestInfo, std::move(pin), fingerprint);
            },
        .signChallenge =
            [modulePath](const Bytes& challenge, const std::string& fingerprint) {
                return akisSign(modulePath, challenge, fingerprint, securePINPrompt);
            },
        .storeSecret = storePINPrompt,
    };
}

JsonObject dispatch(const Request& request, const Providers& providers) {
    // Document signing is the card's alone; the store is not even opened.
    if (request.action == "udf-cert") {
        return documentCertificateAnswer(request, providers);
    }
    if (request.action == "udf-sign") {
        return documentSignatureAnswer(request, providers);
    }
    const std::vector<CertificateRecord> records = providers.keychainRecords();
    if (request.action == "list") {
        return listAnswer(records, providers);
    }
    if (request.action == "sign") {
        return signAnswer(request, records, providers);
    }
    throw HelperError(messages::request::unknownAction);
}

}  // namespace tarvo
