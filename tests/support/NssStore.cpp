#include "support/NssStore.hpp"

#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace tarvo::test {

namespace {

constexpr const char* transferPassword = "nss-store";

Bytes pkcs12(const Bytes& certificateDER, const Key& key, const std::string& nickname) {
    const unsigned char* cursor = certificateDER.data();
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(certificateDER.size())), X509_free);
    if (!certificate) {
        throw std::runtime_error("not a DER certificate");
    }
    const std::unique_ptr<PKCS12, decltype(&PKCS12_free)> bundle(
        PKCS12_create(transferPassword, nickname.c_str(), key.get(), certificate.get(), nullptr, 0, 0, 0, 0, 0),
        PKCS12_free);
    if (!bundle) {
        throw std::runtime_error("PKCS12_create failed");
    }
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(bundle.get(), &der);
    if (length <= 0) {
        throw std::runtime_error("i2d_PKCS12 failed");
    }
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

}  // namespace

NssStore::NssStore() {
    std::filesystem::create_directories(home() / ".pki" / "nssdb");
    runToolChecked({"certutil", "-N", "--empty-password", "-d", database()});
}

std::string NssStore::database() const { return "sql:" + (home() / ".pki" / "nssdb").string(); }

void NssStore::importIdentity(const Bytes& certificateDER, const Key& key, const std::string& nickname) const {
    const std::filesystem::path file = work_.path() / (nickname + ".p12");
    writeFile(file, pkcs12(certificateDER, key, nickname));
    runToolChecked({"pk12util", "-i", file.string(), "-d", database(), "-W", transferPassword, "-K", ""});
}

void NssStore::importCertificate(const Bytes& certificateDER, const std::string& nickname) const {
    const std::filesystem::path file = work_.path() / (nickname + ".der");
    writeFile(file, certificateDER);
    runToolChecked({"certutil", "-A", "-n", nickname, "-t", ",,", "-d", database(), "-i", file.string()});
}

void NssStore::deleteKey(const std::string& nickname) const {
    runToolChecked({"certutil", "-F", "-n", nickname, "-d", database()});
}

}  // namespace tarvo::test
