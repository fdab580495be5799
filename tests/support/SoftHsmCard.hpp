#pragma once

// A throwaway SoftHSM2 store with its own configuration and token folder, for
// running the built program against a real PKCS#11 module. SoftHSM2 always
// shows one more token beside those made here: a blank one, which the module
// does not let anyone open a session on.

#include "support/TestCertificates.hpp"
#include "support/Tools.hpp"

#include <p11-kit/pkcs11.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::test {

class SoftHsmCard {
public:
    static constexpr const char* userPin = "gizli-PIN-7391";

    SoftHsmCard();

    // Initialises the next free token with this label and user PIN.
    void addToken(const std::string& label, const std::string& pin = userPin);
    void addCertificate(const std::string& token, const Bytes& der, const std::optional<std::string>& hexId);
    // A key that asks for the PIN again at each use (CKA_ALWAYS_AUTHENTICATE) when told so.
    void addPrivateKey(const std::string& token, const Key& key, const std::string& hexId,
                       bool alwaysAuthenticate = false);
    // The key's public half as an object of its own, as real cards carry it.
    void addPublicKey(const std::string& token, const Key& key, const std::string& hexId);

    // Whether the token's flags say that a login failed since the last one that worked.
    bool userPinCountLow(const std::string& token) const;

    struct Token {
        std::string label;  // without its trailing blanks
        CK_FLAGS flags;
    };
    // The initialised tokens in slot order, as the module reports them now.
    // SoftHSM2 orders slots by numbers it draws itself, not by creation.
    std::vector<Token> tokens() const;

    // The module to name as "p11": SoftHSM2 itself.
    static std::string modulePath();
    // The environment entries the program needs to find this store.
    std::vector<std::string> environment() const;

private:
    void pkcs11Tool(const std::string& token, std::vector<std::string> arguments);

    TempDir dir_;
    int objects_ = 0;
    std::map<std::string, std::string> pins_;
};

}  // namespace tarvo::test
