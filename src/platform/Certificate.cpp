#include "Certificate.hpp"

#include "OpenSslHandles.hpp"

#include <openssl/err.h>

#include <climits>
#include <ctime>

namespace tarvo::platform {

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
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        ERR_clear_error();
        return hexText(value);
    }
    const UniqueOpenSslText owned(utf8);
    return std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
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

std::optional<std::string> firstValue(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) {
        return std::nullopt;
    }
    return valueText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
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

// The calendar of std::chrono rather than time_t: timegm and friends stop short
// of the full range of years (0000–9999) that certificates may name.
std::optional<Instant> instantOf(const ASN1_TIME* time) {
    std::tm fields{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &fields) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{fields.tm_year + 1900},
                                           std::chrono::month{static_cast<unsigned>(fields.tm_mon + 1)},
                                           std::chrono::day{static_cast<unsigned>(fields.tm_mday)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    const auto seconds = std::chrono::hours{fields.tm_hour} + std::chrono::minutes{fields.tm_min} +
                         std::chrono::seconds{fields.tm_sec};
    return Instant{std::chrono::sys_days{date}} + seconds;
}

}  // namespace

Certificate::Certificate(std::shared_ptr<X509> x509, std::shared_ptr<const Bytes> der)
    : x509_(std::move(x509)), der_(std::move(der)) {}

std::optional<Certificate> Certificate::fromDER(ByteView der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) {
        return std::nullopt;
    }
    const unsigned char* cursor = der.data();
    UniqueX509 x509(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (x509 == nullptr) {
        ERR_clear_error();
        return std::nullopt;
    }
    // Bytes after the certificate would make der() name something other than
    // what was decoded, and the fingerprint with it.
    if (cursor != der.data() + der.size()) {
        return std::nullopt;
    }
    return Certificate(std::shared_ptr<X509>(x509.release(), X509_free),
                       std::make_shared<const Bytes>(der.begin(), der.end()));
}

Name Certificate::subject() const { return nameOf(X509_get_subject_name(x509_.get())); }

Name Certificate::issuer() const { return nameOf(X509_get_issuer_name(x509_.get())); }

std::optional<Instant> Certificate::notBefore() const { return instantOf(X509_get0_notBefore(x509_.get())); }

std::optional<Instant> Certificate::notAfter() const { return instantOf(X509_get0_notAfter(x509_.get())); }

std::string Certificate::subjectSummary() const {
    const X509_NAME* name = X509_get_subject_name(x509_.get());
    if (name == nullptr || X509_NAME_entry_count(name) == 0) {
        return {};
    }
    if (auto commonName = firstValue(name, NID_commonName)) {
        return *commonName;
    }
    if (auto email = firstValue(name, NID_pkcs9_emailAddress)) {
        return *email;
    }
    return oneLine(name);
}

std::optional<PublicKey> Certificate::publicKey() const {
    EVP_PKEY* key = X509_get0_pubkey(x509_.get());
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
