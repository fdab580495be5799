#include "support/NssStore.hpp"

#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <utility>

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
    return encodedBy([&](unsigned char** out) { return i2d_PKCS12(bundle.get(), out); }, "i2d_PKCS12");
}

}  // namespace

NssStore::NssStore(std::string password) : password_(std::move(password)) {
    std::filesystem::create_directories(home() / ".pki" / "nssdb");
    if (password_.empty()) {
        runToolChecked({"certutil", "-N", "--empty-password", "-d", database()});
    } else {
        writeFile(work_.path() / "password", password_ + "\n");
        runToolChecked(withPassword("-f", {"certutil", "-N", "-d", database()}));
    }
}

std::vector<std::string> NssStore::withPassword(const std::string& option, std::vector<std::string> argv) const {
    if (!password_.empty()) {
        argv.insert(argv.end(), {option, (work_.path() / "password").string()});
    }
    return argv;
}

std::string NssStore::database() const { return "sql:" + (home() / ".pki" / "nssdb").string(); }

void NssStore::importIdentity(const Bytes& certificateDER, const Key& key, const std::string& nickname) const {
    const std::filesystem::path file = work_.path() / (nickname + ".p12");
    writeFile(file, pkcs12(certificateDER, key, nickname));
    if (password_.empty()) {
        runToolChecked({"pk12util", "-i", file.string(), "-d", database(), "-W", transferPassword, "-K", ""});
    } else {
        runToolChecked(withPassword("-k", {"pk12util", "-i", file.string(), "-d", database(), "-W", transferPassword}));
    }
}

void NssStore::importCertificate(const Bytes& certificateDER, const std::string& nickname) const {
    const std::filesystem::path file = work_.path() / (nickname + ".der");
    writeFile(file, certificateDER);
    runToolChecked(
        withPassword("-f", {"certutil", "-A", "-n", nickname, "-t", ",,", "-d", database(), "-i", file.string()}));
}

void NssStore::deleteKey(const std::string& nickname) const {
    runToolChecked(withPassword("-f", {"certutil", "-F", "-n", nickname, "-d", database()}));
}

void NssStore::registerModule(const std::string& name, const std::string& library,
                              const std::vector<std::string>& environment) const {
    runToolChecked({"modutil", "-dbdir", database(), "-add", name, "-libfile", library, "-force"}, environment);
}

}  // namespace tarvo::test
