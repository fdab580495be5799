#include "main/Actions.hpp"

#include "card/ChallengeSigning.hpp"
#include "card/DigestSigning.hpp"
#include "main/KeychainRecords.hpp"
#include "pin/PinPrompt.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/store/Keychain.hpp"
#include "platform/vocabulary/Messages.hpp"

namespace tarvo {

Providers systemProviders(const std::string& modulePath) {
    return {
        .keychainRecords =
            [](const std::function<void(CertificateRecord)>& take) {
                eachKeychainRecord(platform::Keychain::open(), take);
            },
        .keychainRecord = [](const std::string& fingerprint) {
            return keychainRecordFor(platform::Keychain::open(), fingerprint);
        },
        .cardCertificates =
            [modulePath](const std::function<void(CardCertificate)>& take) {
                akisCertificates(modulePath, take);
            },
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
    // The store is read as each action needs it: a listing turns each record
    // into its entry at once, a signature makes only the one record it signs with.
    if (request.action == "list") {
        return listAnswer(providers);
    }
    if (request.action == "sign") {
        return signAnswer(request, providers);
    }
    // Any other action still opens and reads the store first, as every action
    // but the document ones always has; nothing of it is used.
    providers.keychainRecords([](const CertificateRecord&) {});
    throw HelperError(messages::request::unknownAction);
}

}  // namespace tarvo
