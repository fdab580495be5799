#include "card/PKCS11.hpp"

#include "platform/vocabulary/Messages.hpp"

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

std::vector<CK_SLOT_ID> PKCS11::slotsWithToken() const {
    const std::string failure = messages::card::slotListFailed;
    CK_ULONG count = 0;
    CK_RV rv = C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) {
        throw HelperError(failure + hexCode(rv));
    }
    if (count == 0) {
        return {};
    }
    std::vector<CK_SLOT_ID> slots(count, 0);
    CK_ULONG filled = count;
    // A token inserted between the two calls makes this one fail with
    // CKR_BUFFER_TOO_SMALL; the operation is not retried.
    rv = C_GetSlotList(CK_TRUE, slots.data(), &filled);
    if (rv != CKR_OK) {
        throw HelperError(failure + hexCode(rv));
    }
    slots.resize(std::min(filled, count));
    return slots;
}

std::vector<CK_OBJECT_HANDLE> PKCS11::objects(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
                                              const std::optional<Bytes>& id) const {
    CK_OBJECT_CLASS classValue = objectClass;
    Bytes idValue = id.value_or(Bytes{});
    std::array<CK_ATTRIBUTE, 2> search = {{
        {CKA_CLASS, &classValue, sizeof classValue},
        {CKA_ID, idValue.data(), idValue.size()},
    }};
    // A present but empty id still goes into the template: it matches only
    // objects whose CKA_ID is empty.
    const CK_ULONG entries = id ? 2 : 1;
    CK_RV rv = C_FindObjectsInit(session, search.data(), entries);
    if (rv != CKR_OK) {
        throw HelperError(messages::card::objectSearchFailed + hexCode(rv));
    }
    const SearchInProgress searching(*this, session);
    std::vector<CK_OBJECT_HANDLE> found;
    for (;;) {
        std::array<CK_OBJECT_HANDLE, findBatchSize> batch{};
        CK_ULONG count = 0;
        rv = C_FindObjects(session, batch.data(), batch.size(), &count);
        if (rv != CKR_OK) {
            throw HelperError(messages::card::objectReadFailed + hexCode(rv));
        }
        const CK_ULONG delivered = std::min(count, findBatchSize);
        found.insert(found.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(delivered));
        if (count < findBatchSize) {
            return found;
        }
    }
}

std::optional<Bytes> PKCS11::attributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                            CK_ATTRIBUTE_TYPE type) const {
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    if (C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) {
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
    if (C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) {
        return std::nullopt;
    }
    value.resize(std::min(attribute.ulValueLen, length));
    return value;
}

std::optional<TokenInfo> PKCS11::tokenInfo(CK_SLOT_ID slot) const {
    if (!C_GetTokenInfo) {
        return std::nullopt;
    }
    CK_TOKEN_INFO info{};
    if (C_GetTokenInfo(slot, &info) != CKR_OK) {
        return std::nullopt;
    }
    const auto text = [](const auto& field) {
        return std::string(reinterpret_cast<const char*>(field), sizeof field);
    };
    return TokenInfo{info.flags, {text(info.label), text(info.serialNumber)}};
}

}  // namespace tarvo
