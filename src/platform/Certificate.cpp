#include "Certificate.hpp"

#include "CertificateReading.hpp"
#include "OpenSslHandles.hpp"

#include <openssl/err.h>

#include <climits>

namespace tarvo::platform {

struct Certificate::State {
    Bytes der;
    // Present when the fields were read from the bytes themselves.
    std::optional<CertificateFields> fields;
    // Made on first use when the fields were read from the bytes.
    UniqueX509 x509;
    bool decoded = false;

    X509* decode() {
        if (!decoded) {
            decoded = true;
            const unsigned char* cursor = der.data();
            x509.reset(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
            // Bytes after the certificate would make der() name something
            // other than what was decoded, and the fingerprint with it.
            if (x509 != nullptr && cursor != der.data() + der.size()) {
                x509.reset();
            }
            ERR_clear_error();
        }
        return x509.get();
    }
};

namespace {

std::string objectText(const ASN1_OBJECT* object) {
    char buffer[128];
    const int length = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    if (length <= 0) {
        return {};
    }
    if (static_cast<std::size_t>(length) < sizeof buffer) {
        return std::string(buffer, static_cast<std::size_t>(length));
    }
    // An identifier with unusually many or large arcs: ask again with room for all of it.
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    OBJ_obj2txt(text.data(), length + 1, object, 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Values that are not character strings (or hold text that is not valid in
// their own encoding) still need a text that stays the same from run to run;
// the raw content in hexadecimal after '#' is that, and cannot pass for a name.
std::string hexText(const ASN1_STRING* value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "#";
    const unsigned char* data = ASN1_STRING_get0_data(value);
    const int length = ASN1_STRING_length(value);
    for (int i = 0; data != nullptr && i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

std::string valueText(const ASN1_STRING* value) {
    if (value == nullptr) {
        return {};
    }
    std::optional<std::string> text = utf8Of(value);
    return text ? std::move(*text) : hexText(value);
}

Name nameOf(const X509_NAME* name) {
    Name result;
    if (name == nullptr) {
        return result;
    }
    int currentSet = -1;
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int set = X509_NAME_ENTRY_set(entry);
        if (result.empty() || set != currentSet) {
            result.emplace_back();
            currentSet = set;
        }
        result.back().push_back(NameAttribute{objectText(X509_NAME_ENTRY_get_object(entry)),
                                              valueText(X509_NAME_ENTRY_get_data(entry))});
    }
    return result;
}

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

// Certificate order, UTF-8 kept as it is, and the same flags every time so the
// text does not change between runs.
std::string oneLine(const X509_NAME* name) {
    const UniqueBio bio(BIO_new(BIO_s_mem()));
    constexpr unsigned long flags = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_COMMA_PLUS |
                                    XN_FLAG_FN_SN;
    if (bio == nullptr || X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) {
        ERR_clear_error();
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
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
    state->fields = readCertificateFields(state->der);
    if (!state->fields && state->decode() == nullptr) {
        return std::nullopt;
    }
    return Certificate(std::move(state));
}

std::optional<Certificate> Certificate::decodedFully(ByteView der) {
    auto state = stateOf(der);
    if (state == nullptr || state->decode() == nullptr) {
        return std::nullopt;
    }
    return Certificate(std::move(state));
}

const Bytes& Certificate::der() const { return state_->der; }

X509* Certificate::native() const { return state_->decode(); }

Name Certificate::subject() const {
    return state_->fields ? state_->fields->subject : nameOf(X509_get_subject_name(native()));
}

Name Certificate::issuer() const {
    return state_->fields ? state_->fields->issuer : nameOf(X509_get_issuer_name(native()));
}

std::optional<Instant> Certificate::notBefore() const {
    return state_->fields ? state_->fields->notBefore : instantOf(X509_get0_notBefore(native()));
}

std::optional<Instant> Certificate::notAfter() const {
    return state_->fields ? state_->fields->notAfter : instantOf(X509_get0_notAfter(native()));
}

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
    return x509 != nullptr ? oneLine(X509_get_subject_name(x509)) : std::string();
}

std::optional<PublicKey> Certificate::publicKey() const {
    X509* x509 = native();
    EVP_PKEY* key = x509 != nullptr ? X509_get0_pubkey(x509) : nullptr;
    if (key == nullptr) {
        ERR_clear_error();
        return std::nullopt;
    }
    PublicKey shared(key);
    if (shared.native() == nullptr) {
        return std::nullopt;
    }
    return shared;
}

}  // namespace tarvo::platform
