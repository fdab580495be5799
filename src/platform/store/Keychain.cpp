#include "platform/store/Keychain.hpp"

#include "platform/store/NssLibrary.hpp"
#include "platform/store/NssSecretQuestion.hpp"
#include "platform/system/ForeignCall.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace tarvo::platform {

namespace {

struct CertificateRelease {
    void operator()(CERTCertificate* certificate) const { nss().CERT_DestroyCertificate(certificate); }
};
struct CertificateListRelease {
    void operator()(CERTCertList* list) const { nss().CERT_DestroyCertList(list); }
};
struct PrivateKeyRelease {
    void operator()(SECKEYPrivateKey* key) const { nss().SECKEY_DestroyPrivateKey(key); }
};
struct ContextRelease {
    void operator()(NSSInitContext* context) const { nss().NSS_ShutdownContext(context); }
};
using ContextPtr = std::unique_ptr<NSSInitContext, ContextRelease>;
using CertificatePtr = std::unique_ptr<CERTCertificate, CertificateRelease>;
using CertificateListPtr = std::unique_ptr<CERTCertList, CertificateListRelease>;
using PrivateKeyPtr = std::unique_ptr<SECKEYPrivateKey, PrivateKeyRelease>;

// SEC_SignData fills a caller-owned item with memory of its own allocator.
class OwnedItem {
public:
    OwnedItem() = default;
    ~OwnedItem() { nss().SECITEM_FreeItem(&item_, PR_FALSE); }
    OwnedItem(const OwnedItem&) = delete;
    OwnedItem& operator=(const OwnedItem&) = delete;

    SECItem* get() { return &item_; }
    Bytes bytes() const { return Bytes(item_.data, item_.data + item_.len); }

private:
    SECItem item_{siBuffer, nullptr, 0};
};

using messages::store::noPrivateKey;
using messages::store::noSupportedAlgorithm;
using messages::store::signingFailed;

// A HOME that is set but empty names no directory worth looking in; the
// password database still knows where the user lives.
std::optional<std::string> homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::string(home);
    }
    long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufferSize <= 0) {
        bufferSize = 16384;
    }
    std::string buffer(static_cast<std::size_t>(bufferSize), '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || *found->pw_dir == '\0') {
        return std::nullopt;
    }
    return std::string(found->pw_dir);
}

}  // namespace

// One reference on the process-wide NSS initialisation. NSS counts contexts and
// shuts down with the last one, which it refuses while any certificate or key
// is still referenced — hence every holder of those also holds this session.
class KeychainSession {
public:
    explicit KeychainSession(ContextPtr context) : context_(std::move(context)) {}

private:
    ContextPtr context_;
};

struct KeychainIdentity::State {
    // Declared first so that it is destroyed last, after the certificate.
    std::shared_ptr<KeychainSession> session;
    CertificatePtr certificate;
};

KeychainIdentity::KeychainIdentity(std::shared_ptr<State> state) : state_(std::move(state)) {}
KeychainIdentity::~KeychainIdentity() = default;
KeychainIdentity::KeychainIdentity(const KeychainIdentity&) = default;
KeychainIdentity& KeychainIdentity::operator=(const KeychainIdentity&) = default;
KeychainIdentity::KeychainIdentity(KeychainIdentity&&) noexcept = default;
KeychainIdentity& KeychainIdentity::operator=(KeychainIdentity&&) noexcept = default;

// A moved-from identity holds nothing: it has no bytes and no key.
Bytes KeychainIdentity::certificateDER() const {
    if (!state_) {
        return {};
    }
    const SECItem& der = state_->certificate->derCert;
    return Bytes(der.data, der.data + der.len);
}

Bytes KeychainIdentity::sign(ByteView message, const SecretPrompt& ask) const {
    if (message.size() > static_cast<std::size_t>(INT_MAX)) {
        throw HelperError(signingFailed);
    }
    if (!state_) {
        throw HelperError(noPrivateKey);
    }
    // Declared before the key, which keeps a pointer to it for NSS's later
    // questions, so that it outlives the key.
    NssSecretQuestion question(ask);
    // When a question was put, its outcome explains a failure better than what
    // NSS reports after it: no key, or no signature, is then its doing.
    const PrivateKeyPtr key(nss().PK11_FindKeyByAnyCert(state_->certificate.get(), question.context()));
    if (!key) {
        throw HelperError(question.failure().value_or(noPrivateKey));
    }
    SECOidTag algorithm = SEC_OID_UNKNOWN;
    switch (nss().SECKEY_GetPrivateKeyType(key.get())) {
        case rsaKey:
            algorithm = SEC_OID_PKCS1_SHA256_WITH_RSA_ENCRYPTION;
            break;
        case ecKey:
            algorithm = SEC_OID_ANSIX962_ECDSA_SHA256_SIGNATURE;
            break;
        default:
            throw HelperError(noSupportedAlgorithm);
    }
    question.expectKeyConfirmation(key.get());

    OwnedItem signature;
    // A code left over from an earlier call must not be mistaken for this one's.
    nss().PORT_SetError(0);
    if (nss().SEC_SignData(signature.get(), message.data(), static_cast<int>(message.size()), key.get(), algorithm) !=
        SECSuccess) {
        const PRErrorCode code = nss().PORT_GetError();
        if (const std::optional<const char*> explained = question.failure()) {
            throw HelperError(*explained);
        }
        if (code != 0) {
            const char* text = nss().PR_ErrorToString(code, PR_LANGUAGE_I_DEFAULT);
            if (text != nullptr && *text != '\0') {
                throw HelperError(text);
            }
        }
        throw HelperError(signingFailed);
    }
    return signature.bytes();
}

Keychain::Keychain(std::shared_ptr<KeychainSession> session) : session_(std::move(session)) {}

Keychain Keychain::open() {
    const std::optional<std::string> home = homeDirectory();
    if (!home) {
        return Keychain(nullptr);
    }
    const std::string directory = "sql:" + *home + "/.pki/nssdb";
    // Read-only: listing and signing never change the store, and a store that
    // is missing must stay missing rather than be created empty. The root
    // certificate module is of no use for finding the user's own identities.
    ContextPtr context;
    {
        // Opening the store loads and initialises every PKCS#11 module
        // registered in it: the loading of NSS itself is framed with it.
        const ForeignCall call(storeCallFaults);
        const NssLibrary* library = loadedNss();
        if (library == nullptr) {
            return Keychain(nullptr);
        }
        context.reset(library->NSS_InitContext(directory.c_str(), "", "", SECMOD_DB, nullptr,
                                               NSS_INIT_READONLY | NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE));
    }
    if (!context) {
        return Keychain(nullptr);
    }
    return Keychain(std::make_shared<KeychainSession>(std::move(context)));
}

std::vector<KeychainIdentity> Keychain::identities() const {
    std::vector<KeychainIdentity> identities;
    if (!session_) {
        return identities;
    }
    const CertificateListPtr list(nss().PK11_ListCerts(PK11CertListUser, nullptr));
    if (!list) {
        return identities;
    }
    for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
         node = CERT_LIST_NEXT(node)) {
        CertificatePtr certificate(nss().CERT_DupCertificate(node->cert));
        if (!certificate) {
            continue;
        }
        identities.emplace_back(std::make_shared<KeychainIdentity::State>(
            KeychainIdentity::State{session_, std::move(certificate)}));
    }
    return identities;
}

}  // namespace tarvo::platform
