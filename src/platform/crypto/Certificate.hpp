#pragma once

#include "platform/crypto/CertificateName.hpp"
#include "platform/crypto/PublicKey.hpp"
#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/Time.hpp"

#include <memory>
#include <optional>
#include <string>

using X509 = struct x509_st;

namespace tarvo::platform {

// An X.509 certificate, held by counted reference; copies share it. The
// fields are read straight from the bytes where they are plain DER, and
// OpenSSL's certificate object is made only when it is asked for (the public
// key, native()) or when the bytes need its full decoder.
class Certificate {
public:
    // Nothing for bytes that are not exactly one DER certificate: exactly the
    // bytes that OpenSSL's full decoder refuses, or that hold more than one.
    static std::optional<Certificate> fromDER(ByteView der);

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
