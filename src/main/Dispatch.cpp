#include "main/Dispatch.hpp"

#include "main/DocumentActions.hpp"
#include "main/ListAction.hpp"
#include "main/SignAction.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

namespace tarvo {

JsonObject dispatch(const Request& request, const KeychainProvider& keychain, const CardProvider& card) {
    // Document signing is the card's alone; the store is not even opened.
    if (request.action == "udf-cert") {
        return documentCertificateAnswer(request, card);
    }
    if (request.action == "udf-sign") {
        return documentSignatureAnswer(request, card);
    }
    // The store is read as each action needs it: a listing turns each record
    // into its entry at once, a signature makes only the one record it signs with.
    if (request.action == "list") {
        return listAnswer(keychain, card);
    }
    if (request.action == "sign") {
        return signAnswer(request, keychain, card);
    }
    // Any other action still opens and reads the store first, as every action
    // but the document ones always has; nothing of it is used.
    keychain.keychainRecords([](const CertificateRecord&) {});
    throw HelperError(messages::request::unknownAction);
}

}  // namespace tarvo
