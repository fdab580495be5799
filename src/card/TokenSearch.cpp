#include "card/TokenSearch.hpp"

#include "card/CardFailure.hpp"

#include <algorithm>
#include <array>

namespace tarvo {

namespace {

static_assert(sizeof(CK_ULONG) == 8, "the card interface is used with 64-bit CK_ULONG only");

constexpr CK_ULONG findBatchSize = 32;
// Attribute values this large are refused before any buffer is allocated.
constexpr CK_ULONG largestAttribute = 0xFFFFF;

// Ends a started search on every path, exactly once.
class SearchInProgress {
public:
    SearchInProgress(const PKCS11& pkcs11, CK_SESSION_HANDLE session) : pkcs11_(pkcs11), session_(session) {}
    ~SearchInProgress() { pkcs11_.C_FindObjectsFinal(session_); }
    SearchInProgress(const SearchInProgress&) = delete;
    SearchInProgress& operator=(const SearchInProgress&) = delete;

private:
    const PKCS11& pkcs11_;
    CK_SESSION_HANDLE session_;
};

}  // namespace

std::vector<CK_SLOT_ID> slotsWithToken(const PKCS11& pkcs11) {
    CK_ULONG count = 0;
    require(moduleFailureTexts, CardCall::slotList, pkcs11.C_GetSlotList(CK_TRUE, nullptr, &count));
    if (count == 0) {
        return {};
    }
    std::vector<CK_SLOT_ID> slots(count, 0);
    CK_ULONG filled = count;
    // A token inserted between the two calls makes this one fail with
    // CKR_BUFFER_TOO_SMALL; the operation is not retried.
    require(moduleFailureTexts, CardCall::slotList, pkcs11.C_GetSlotList(CK_TRUE, slots.data(), &filled));
    slots.resize(std::min(filled, count));
    return slots;
}

std::vector<CK_OBJECT_HANDLE> objects(const PKCS11& pkcs11, CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
                                      const std::optional<Bytes>& id) {
    CK_OBJECT_CLASS classValue = objectClass;
    Bytes idValue = id.value_or(Bytes{});
    std::array<CK_ATTRIBUTE, 2> search = {{
        {CKA_CLASS, &classValue, sizeof classValue},
        {CKA_ID, idValue.data(), idValue.size()},
    }};
    // A present but empty id still goes into the template: it matches only
    // objects whose CKA_ID is empty.
    const CK_ULONG entries = id ? 2 : 1;
    require(moduleFailureTexts, CardCall::findObjectsInit, pkcs11.C_FindObjectsInit(session, search.data(), entries));
    const SearchInProgress searching(pkcs11, session);
    std::vector<CK_OBJECT_HANDLE> found;
    for (;;) {
        std::array<CK_OBJECT_HANDLE, findBatchSize> batch{};
        CK_ULONG count = 0;
        require(moduleFailureTexts, CardCall::findObjects,
                pkcs11.C_FindObjects(session, batch.data(), batch.size(), &count));
        const CK_ULONG delivered = std::min(count, findBatchSize);
        found.insert(found.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(delivered));
        if (count < findBatchSize) {
            return found;
        }
    }
}

std::optional<Bytes> attributeValue(const PKCS11& pkcs11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                    CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    if (!succeeded(CardCall::attributeValue, pkcs11.C_GetAttributeValue(session, object, &attribute, 1))) {
        return std::nullopt;
    }
    // Also refuses CK_UNAVAILABLE_INFORMATION, and an empty value, which
    // callers treat like a missing one.
    const CK_ULONG length = attribute.ulValueLen;
    if (length < 1 || length > largestAttribute) {
        return std::nullopt;
    }
    Bytes value(length, 0);
    attribute.pValue = value.data();
    if (!succeeded(CardCall::attributeValue, pkcs11.C_GetAttributeValue(session, object, &attribute, 1))) {
        return std::nullopt;
    }
    value.resize(std::min(attribute.ulValueLen, length));
    return value;
}

std::optional<TokenInfo> tokenInfo(const PKCS11& pkcs11, CK_SLOT_ID slot) {
    if (!pkcs11.C_GetTokenInfo) {
        return std::nullopt;
    }
    CK_TOKEN_INFO info{};
    if (!succeeded(CardCall::tokenInfo, pkcs11.C_GetTokenInfo(slot, &info))) {
        return std::nullopt;
    }
    const auto text = [](const auto& field) {
        return std::string(reinterpret_cast<const char*>(field), sizeof field);
    };
    return TokenInfo{info.flags, {text(info.label), text(info.serialNumber)}};
}

}  // namespace tarvo
