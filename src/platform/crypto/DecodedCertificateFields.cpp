#include "platform/crypto/DecodedCertificateFields.hpp"

#include "platform/crypto/OpenSslLibrary.hpp"

#include <chrono>
#include <ctime>
#include <optional>

namespace tarvo::platform {

namespace {

// Time values as OpenSSL reads them; absent when unreadable.
std::optional<Instant> instantOf(const ASN1_TIME* time) {
    std::tm fields{};
    if (time == nullptr || ssl().ASN1_TIME_to_tm(time, &fields) != 1) {
        ssl().ERR_clear_error();
        return std::nullopt;
    }
    // The calendar of std::chrono rather than time_t: timegm and friends stop
    // short of the full range of years (0000–9999) that certificates may name.
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

// A name value's text as OpenSSL converts it, or nothing when it will not convert.
std::optional<std::string> utf8Of(const ASN1_STRING* value) {
    unsigned char* utf8 = nullptr;
    const int length = ssl().ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        ssl().ERR_clear_error();
        return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    ssl().CRYPTO_free(utf8, OPENSSL_FILE, OPENSSL_LINE);
    return text;
}

std::string objectText(const ASN1_OBJECT* object) {
    char buffer[128];
    const int length = ssl().OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    if (length <= 0) {
        return {};
    }
    if (static_cast<std::size_t>(length) < sizeof buffer) {
        return std::string(buffer, static_cast<std::size_t>(length));
    }
    // An identifier with unusually many or large arcs: ask again with room for all of it.
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    ssl().OBJ_obj2txt(text.data(), length + 1, object, 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Values that are not character strings (or hold text that is not valid in
// their own encoding) still need a text that stays the same from run to run;
// the raw content in hexadecimal after '#' is that, and cannot pass for a name.
std::string hexText(const ASN1_STRING* value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "#";
    const unsigned char* data = ssl().ASN1_STRING_get0_data(value);
    const int length = ssl().ASN1_STRING_length(value);
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
    const int count = ssl().X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = ssl().X509_NAME_get_entry(name, i);
        const int set = ssl().X509_NAME_ENTRY_set(entry);
        if (result.empty() || set != currentSet) {
            result.emplace_back();
            currentSet = set;
        }
        result.back().push_back(NameAttribute{objectText(ssl().X509_NAME_ENTRY_get_object(entry)),
                                              valueText(ssl().X509_NAME_ENTRY_get_data(entry))});
    }
    return result;
}

// Certificate order, UTF-8 kept as it is, and the same flags every time so the
// text does not change between runs.
std::string oneLine(const X509_NAME* name) {
    const OpenSslOwned<BIO, &OpenSslLibrary::BIO_free_all> bio(ssl().BIO_new(ssl().BIO_s_mem()));
    constexpr unsigned long flags = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_COMMA_PLUS |
                                    XN_FLAG_FN_SN;
    if (bio == nullptr || ssl().X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) {
        ssl().ERR_clear_error();
        return {};
    }
    char* data = nullptr;
    // BIO_get_mem_data, which is a macro for this call.
    const long length = ssl().BIO_ctrl(bio.get(), BIO_CTRL_INFO, 0, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

CertificateFields decodedCertificateFields(const X509* certificate) {
    return {nameOf(ssl().X509_get_subject_name(certificate)), nameOf(ssl().X509_get_issuer_name(certificate)),
            instantOf(ssl().X509_get0_notBefore(certificate)), instantOf(ssl().X509_get0_notAfter(certificate))};
}

std::string oneLineSubject(const X509* certificate) { return oneLine(ssl().X509_get_subject_name(certificate)); }

}  // namespace tarvo::platform
