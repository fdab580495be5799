#pragma once

#include "platform/vocabulary/Bytes.hpp"
#include "platform/crypto/PublicKey.hpp"
#include "platform/vocabulary/Time.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

using X509 = struct x509_st;

namespace tarvo::platform {

// One attribute of a distinguished name: the dotted object identifier of its
// type and its value as UTF-8 text (values that are not strings get a stable
// text form of their own).
struct NameAttribute {
    std::string oid;
    std::string value;
};
// One relative distinguished name: the attributes that share a set.
using RelativeName = std::vector<NameAttribute>;
// A whole name, in the order the certificate holds it (not reversed).
using Name = std::vector<RelativeName>;

// An X.509 certificate, held by counted reference; copies share it. The
// fields are read straight from the bytes where they are plain DER, and
// OpenSSL's certificate object is made only when it is asked for (the public
// key, native()) or when the bytes need its full decoder.
class Certificate {
public:
    // Nothing for bytes that are not exactly one DER certificate: exactly the
    // bytes that OpenSSL's full decoder refuses, or that hold more than one.
    static std::optional<Certificate> fromDER(ByteView der);
    // Always through OpenSSL's full decoder; the reference the quicker reading
    // above must agree with.
    static std::optional<Certificate> decodedFully(ByteView der);

    // The exact bytes the certificate was made from, never re-encoded.
    const Bytes& der() const;

    Name subject() const;
    Name issuer() const;
    // Absent when the time cannot be read.
    std::optional<Instant> notBefore() const;
    std::optional<Instant> notAfter() const;
    // A short text naming the subject: the first common name, else the first
    // e-mail address, else the one-line subject; empty when there is none.
    std::string subjectSummary() const;
    // Absent when the key cannot be decoded.
    std::optional<PublicKey> publicKey() const;

    // Null only if the full decoder refuses bytes that the quicker reading
    // took, which it must never do.
    X509* native() const;

    struct State;

private:
    explicit Certificate(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
};

}  // namespace tarvo::platform
