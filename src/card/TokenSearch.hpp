#pragma once

#include "card/PKCS11.hpp"
#include "platform/vocabulary/Bytes.hpp"

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvo {

// Who a token says it is: its label and serial number as C_GetTokenInfo
// gives them (blank-padded, as the standard has them).
struct TokenIdentity {
    std::string label;
    std::string serialNumber;

    // A serial number of blanks only (or none at all) tells tokens apart no better than no serial number.
    bool hasSerialNumber() const { return serialNumber.find_first_not_of(' ') != std::string::npos; }
    bool operator==(const TokenIdentity&) const = default;
};

// What C_GetTokenInfo tells of a token.
struct TokenInfo {
    CK_FLAGS flags = 0;  // CKF_USER_PIN_LOCKED and the like
    TokenIdentity identity;
};

// The slots that hold a token, in the module's order.
std::vector<CK_SLOT_ID> slotsWithToken(const PKCS11& pkcs11);
// The handles of the objects of one class (and, when given, one CKA_ID).
std::vector<CK_OBJECT_HANDLE> objects(const PKCS11& pkcs11, CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
                                      const std::optional<Bytes>& id);
// One attribute's bytes; absent on any failure or a length outside 1..0xFFFFF.
std::optional<Bytes> attributeValue(const PKCS11& pkcs11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                    CK_ATTRIBUTE_TYPE type);
// What the slot's token tells of itself; absent when the module has no
// C_GetTokenInfo or it fails.
std::optional<TokenInfo> tokenInfo(const PKCS11& pkcs11, CK_SLOT_ID slot);

}  // namespace tarvo
