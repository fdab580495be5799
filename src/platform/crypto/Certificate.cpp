#include "platform/crypto/Certificate.hpp"

#include "platform/crypto/CertificateReading.hpp"
#include "platform/crypto/DecodedCertificateFields.hpp"
#include "platform/crypto/OpenSslLibrary.hpp"

#include <climits>

namespace tarvo::platform {

struct Certificate::State {
    Bytes der;
    CertificateFields fields;
    // Made on first use when the fields were read from the bytes.
    OpenSslOwned<X509, &OpenSslLibrary::X509_free> x509;
    bool decoded = false;

    X509* decode() {
        if (!decoded) {
            decoded = true;
            const OpenSslLibrary* ssl = loadedOpenSsl();
            if (ssl == nullptr) {
                return nullptr;
            }
            const unsigned char* cursor = der.data();
            x509.reset(ssl->d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
            // Bytes after the certificate would make der() name something
            // other than what was decoded, and the fingerprint with it.
            if (x509 != nullptr && cursor != der.data() + der.size()) {
                x509.reset();
            }
            ssl->ERR_clear_error();
        }
        return x509.get();
    }
};

namespace {

// The first value of that type in certificate order, as X509_NAME_get_index_by_NID finds it.
std::optional<std::string> firstValue(const Name& name, std::string_view oid) {
    for (const auto& relativeName : name) {
        for (const auto& attribute : relativeName) {
            if (attribute.oid == oid) {
                return attribute.value;
            }
        }
    }
    return std::nullopt;
}

std::shared_ptr<Certificate::State> stateOf(ByteView der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) {
        return nullptr;
    }
    auto state = std::make_shared<Certificate::State>();
    state->der.assign(der.begin(), der.end());
    return state;
}

}  // namespace

Certificate::Certificate(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::optional<Certificate> Certificate::fromDER(ByteView der) {
    auto state = stateOf(der);
    if (state == nullptr) {
        return std::nullopt;
    }
    if (auto fields = readCertificateFields(state->der)) {
        state->fields = std::move(*fields);
    } else if (const X509* x509 = state->decode()) {
        state->fields = decodedCertificateFields(x509);
    } else {
        return std::nullopt;
    }
    return Certificate(std::move(state));
}

const Bytes& Certificate::der() const { return state_->der; }

X509* Certificate::native() const { return state_->decode(); }

Name Certificate::subject() const { return state_->fields.subject; }

Name Certificate::issuer() const { return state_->fields.issuer; }

std::optional<Instant> Certificate::notBefore() const { return state_->fields.notBefore; }

std::optional<Instant> Certificate::notAfter() const { return state_->fields.notAfter; }

std::string Certificate::subjectSummary() const {
    const Name subject = this->subject();
    if (subject.empty()) {
        return {};
    }
    if (auto commonName = firstValue(subject, "2.5.4.3")) {
        return *commonName;
    }
    if (auto email = firstValue(subject, "1.2.840.113549.1.9.1")) {
        return *email;
    }
    const X509* x509 = native();
    return x509 != nullptr ? oneLineSubject(x509) : std::string();
}

std::optional<PublicKey> Certificate::publicKey() const {
    X509* x509 = native();
    EVP_PKEY* key = x509 != nullptr ? ssl().X509_get0_pubkey(x509) : nullptr;
    if (key == nullptr) {
        if (x509 != nullptr) {
            ssl().ERR_clear_error();
        }
        return std::nullopt;
    }
    PublicKey shared(key);
    if (shared.native() == nullptr) {
        return std::nullopt;
    }
    return shared;
}

}  // namespace tarvo::platform
