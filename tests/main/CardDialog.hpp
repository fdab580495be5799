#pragma once

// A store with no identities and a card with one, so that "sign" goes to the
// card and asks for its PIN through whichever pinentry a test puts first on
// PATH; shared by the tests of the dialog on a terminal, on a display, and
// with nowhere to show it.

#include "support/NssStore.hpp"
#include "support/RunBinary.hpp"
#include "support/SoftHsmCard.hpp"
#include "support/TestCertificates.hpp"
#include "support/Tools.hpp"

#include "platform/vocabulary/Base64.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace tarvo::test {

inline const std::string cancelledAnswer = "{\"error\":\"İmza denemesi kullanıcı tarafından iptal edildi\"}\n";
inline const std::string wrongPinAnswer = "{\"error\":\"AKİS kart PIN doğrulaması başarısız; otomatik tekrar yapılmadı\"}\n";
inline const std::string noDialogAnswer = "{\"error\":\"PIN penceresi açılamadı; imza denenmedi\"}\n";

inline std::string fingerprint(const Bytes& der) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(der.data(), der.size(), digest.data());
    return hex(digest);
}

inline std::filesystem::path onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::filesystem::path candidate = std::filesystem::path(folders.substr(start, end - start)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

// A store with no identities and a card with one: "sign" goes to the card and
// asks for its PIN.
class CardDialog : public ::testing::Test {
protected:
    const Key cardKey = otherRsaKey();
    const Bytes cardCert = selfSignedCertificate(cardKey, "Kart Kullanıcısı");
    const Bytes challenge = {'p', 'i', 'n', 'e', 'n', 't', 'r', 'y'};
    NssStore store;
    SoftHsmCard card;
    TempDir programs;  // holds the `pinentry` that the helper finds first

    CardDialog() {
        card.addToken("AKIS");
        card.addCertificate("AKIS", cardCert, "01");
        card.addPrivateKey("AKIS", cardKey, "01");
    }

    std::string request() const {
        return R"({"action":"sign","p11":")" + SoftHsmCard::modulePath() + R"(","challenge":")" +
               base64Encode(challenge) + R"(","fingerprint":")" + fingerprint(cardCert) + "\"}";
    }

    // What the helper needs to find the store and the card; no locale variables.
    Environment helperAndCard() const {
        Environment environment = helperEnvironment(store.home().string());
        for (const std::string& entry : card.environment()) {
            const auto equals = entry.find('=');
            environment[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        return environment;
    }

    // The same with `pinentry` first on PATH and a terminal type.
    Environment environment(const std::filesystem::path& pinentry) const {
        Environment environment = helperAndCard();
        std::filesystem::create_symlink(pinentry, programs.path() / "pinentry");
        environment["PATH"] = programs.path().string() + ":" + environment["PATH"];
        environment["TERM"] = "vt100";
        return environment;
    }

    void expectSigned(const RunResult& result) const {
        ASSERT_EQ(result.status, 0) << result.out;
        const nlohmann::json answer = nlohmann::json::parse(result.out);
        EXPECT_EQ(answer.at("fingerprint"), fingerprint(cardCert));
        // PKCS #1 v1.5 is deterministic: the card's signature is the one OpenSSL makes with the key.
        EXPECT_EQ(*base64Decode(answer.at("signature").get<std::string>()), sha256Signature(cardKey, challenge));
    }
};

}  // namespace tarvo::test
