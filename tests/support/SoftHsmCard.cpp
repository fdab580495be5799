#include "support/SoftHsmCard.hpp"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace tarvo::test {

namespace {

Bytes privateKeyPKCS8(const Key& key) {
    unsigned char* der = nullptr;
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key.get());
    if (info == nullptr) {
        throw std::runtime_error("PKCS#8 conversion failed");
    }
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
    PKCS8_PRIV_KEY_INFO_free(info);
    if (length <= 0) {
        throw std::runtime_error("PKCS#8 encoding failed");
    }
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

Bytes publicKeyDER(const Key& key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key.get(), &der);
    if (length <= 0) {
        throw std::runtime_error("public key encoding failed");
    }
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

}  // namespace

SoftHsmCard::SoftHsmCard() {
    std::filesystem::create_directory(dir_.path() / "tokens");
    writeFile(dir_.path() / "softhsm2.conf",
              "directories.tokendir = " + (dir_.path() / "tokens").string() +
                  "\nobjectstore.backend = file\nlog.level = ERROR\n");
}

std::vector<std::string> SoftHsmCard::environment() const {
    return {"SOFTHSM2_CONF=" + (dir_.path() / "softhsm2.conf").string()};
}

std::string SoftHsmCard::modulePath() { return TARVO_SOFTHSM_FILTER; }

std::string SoftHsmCard::libraryPath() { return TARVO_SOFTHSM_MODULE; }

void SoftHsmCard::addToken(const std::string& label) {
    runToolChecked(
        {"softhsm2-util", "--init-token", "--free", "--label", label, "--pin", userPin, "--so-pin", "87654321"},
        environment());
}

void SoftHsmCard::pkcs11Tool(const std::string& token, std::vector<std::string> arguments) {
    std::vector<std::string> argv = {"pkcs11-tool", "--module", TARVO_SOFTHSM_MODULE, "--token-label", token,
                                     "--login",     "--pin",    userPin};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    runToolChecked(argv, environment());
}

void SoftHsmCard::addCertificate(const std::string& token, const Bytes& der, const std::optional<std::string>& hexId) {
    const auto file = dir_.path() / ("object" + std::to_string(++objects_) + ".der");
    writeFile(file, der);
    std::vector<std::string> arguments = {"--write-object", file.string(), "--type", "cert",
                                          "--label", "cert" + std::to_string(objects_)};
    if (hexId) {
        arguments.insert(arguments.end(), {"--id", *hexId});
    }
    pkcs11Tool(token, arguments);
}

void SoftHsmCard::addPrivateKey(const std::string& token, const Key& key, const std::string& hexId,
                                bool alwaysAuthenticate) {
    const auto file = dir_.path() / ("object" + std::to_string(++objects_) + ".der");
    writeFile(file, privateKeyPKCS8(key));
    std::vector<std::string> arguments = {"--write-object", file.string(), "--type", "privkey", "--id", hexId,
                                          "--label", "key" + std::to_string(objects_)};
    if (alwaysAuthenticate) {
        arguments.push_back("--always-auth");
    }
    pkcs11Tool(token, arguments);
}

void SoftHsmCard::addPublicKey(const std::string& token, const Key& key, const std::string& hexId) {
    const auto file = dir_.path() / ("object" + std::to_string(++objects_) + ".der");
    writeFile(file, publicKeyDER(key));
    pkcs11Tool(token, {"--write-object", file.string(), "--type", "pubkey", "--id", hexId, "--label",
                       "pub" + std::to_string(objects_)});
}

// pkcs11-tool lists each slot as "  token label        : <label>" followed,
// some lines later, by "  token flags        : <flag>, <flag>, ...".
bool SoftHsmCard::userPinCountLow(const std::string& token) const {
    std::istringstream listing(toolOutput({"pkcs11-tool", "--module", TARVO_SOFTHSM_MODULE, "--list-token-slots"},
                                          environment()));
    // The value of a "<name> : <value>" line, when the line names it.
    const auto valueOf = [](const std::string& line, const std::string& name) -> std::optional<std::string> {
        const auto start = line.find_first_not_of(' ');
        const auto colon = line.find(" : ");
        if (start == std::string::npos || colon == std::string::npos || line.compare(start, name.size(), name) != 0) {
            return std::nullopt;
        }
        return line.substr(colon + 3);
    };
    bool inToken = false;
    for (std::string line; std::getline(listing, line);) {
        if (const auto label = valueOf(line, "token label")) {
            inToken = *label == token;
        } else if (const auto flags = valueOf(line, "token flags"); flags && inToken) {
            return flags->find("user PIN count low") != std::string::npos;
        }
    }
    throw std::runtime_error("no token labelled " + token);
}

}  // namespace tarvo::test
