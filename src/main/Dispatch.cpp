#include "main/Actions.hpp"

#include "main/KeychainRecords.hpp"
#include "pin/PinPrompt.hpp"
#include "platform/HelperError.hpp"
#include "platform/Keychain.hpp"
#include "platform/Messages.hpp"

namespace tarvo {

Providers systemProviders() {
    return {
        .keychainRecords = [] { return tarvo::keychainRecords(platform::Keychain::open()); },
        .cardCertificates = akisCertificates,
        .documentCertificate = udfCertificate,
        .signDigest = udfSign,
        .signChallenge = [](const Bytes& challenge, const std::string& fingerprint) {
            return akisSign(challenge, fingerprint, securePINPrompt);
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
