#include "support/SoftHsmCard.hpp"

#include "support/ScopedEnvironment.hpp"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace tarvo::test {

namespace {

Bytes privateKeyPKCS8(const Key& key) {
    const std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(EVP_PKEY2PKCS8(key.get()),
                                                                                       PKCS8_PRIV_KEY_INFO_free);
    if (info == nullptr) {
        throw std::runtime_error("PKCS#8 conversion failed");
    }
    return encodedBy([&](unsigned char** out) { return i2d_PKCS8_PRIV_KEY_INFO(info.get(), out); }, "PKCS#8 encoding");
}

Bytes publicKeyDER(const Key& key) {
    return encodedBy([&](unsigned char** out) { return i2d_PUBKEY(key.get(), out); }, "public key encoding");
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

std::string SoftHsmCard::modulePath() { return TARVO_SOFTHSM_MODULE; }

void SoftHsmCard::addToken(const std::string& label, const std::string& pin) {
    runToolChecked({"softhsm2-util", "--init-token", "--free", "--label", label, "--pin", pin, "--so-pin", "87654321"},
                   environment());
    pins_[label] = pin;
}

std::vector<SoftHsmCard::Token> SoftHsmCard::tokens() const {
    // Asked in this process, straight through the module's function list, so
    // that the answer does not depend on any code under test.
    ScopedEnvironment scoped;
    scoped.set("SOFTHSM2_CONF", (dir_.path() / "softhsm2.conf").string());
    const std::unique_ptr<void, int (*)(void*)> module(::dlopen(TARVO_SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL),
                                                        ::dlclose);
    const auto getFunctionList =
        module ? reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module.get(), "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    if (getFunctionList == nullptr || getFunctionList(&p11) != CKR_OK || p11->C_Initialize(nullptr) != CKR_OK) {
        throw std::runtime_error("SoftHSM2 cannot be started");
    }
    std::vector<CK_SLOT_ID> slots(64);
    CK_ULONG count = slots.size();
    const CK_RV listed = p11->C_GetSlotList(CK_TRUE, slots.data(), &count);
    std::vector<Token> found;
    for (CK_ULONG i = 0; listed == CKR_OK && i < count; ++i) {
        CK_TOKEN_INFO info{};
        if (p11->C_GetTokenInfo(slots[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED) != 0) {
            std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
            label.erase(label.find_last_not_of(' ') + 1);
            found.push_back({label, info.flags});
        }
    }
    p11->C_Finalize(nullptr);
    if (listed != CKR_OK) {
        throw std::runtime_error("SoftHSM2 slot list");
    }
    return found;
}

void SoftHsmCard::pkcs11Tool(const std::string& token, std::vector<std::string> arguments) {
    std::vector<std::string> argv = {"pkcs11-tool", "--module", TARVO_SOFTHSM_MODULE, "--token-label", token,
                                     "--login",     "--pin",    pins_.at(token)};
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

bool SoftHsmCard::userPinCountLow(const std::string& token) const {
    for (const Token& found : tokens()) {
        if (found.label == token) {
            return (found.flags & CKF_USER_PIN_COUNT_LOW) != 0;
        }
    }
    throw std::runtime_error("no token labelled " + token);
}

}  // namespace tarvo::test
