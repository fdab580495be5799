#include "MockEntryPoints.hpp"
#include "MockP11.hpp"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

namespace tarvo::test::mockp11 {

namespace {

struct SessionState {
    std::size_t slotIndex = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t nextFound = 0;
    bool signing = false;
    CK_OBJECT_HANDLE signingKey = 0;
};

struct State {
    std::vector<MockSlot> slots;
    Script script;
    Log log;
    std::map<std::string, int, std::less<>> callCounts;
    bool loaded = false;
    bool initialized = false;
    std::map<CK_SESSION_HANDLE, SessionState> sessions;
    CK_SESSION_HANDLE nextSession = 0x51;
    std::set<std::size_t> loggedIn;  // slot indexes
    const CK_UTF8CHAR* pinAddress = nullptr;
    CK_ULONG pinLength = 0;
};

State& state() {
    static State instance;
    return instance;
}

void violation(std::string text) { state().log.violations.push_back(std::move(text)); }

void record(const char* function, std::vector<CK_ULONG> args, Bytes data = {}) {
    state().log.calls.push_back(Call{function, std::move(args), std::move(data)});
}

CK_ULONG flag(const void* pointer) { return pointer != nullptr ? 1 : 0; }

std::optional<Answer> scriptedAnswer(const char* function) {
    State& s = state();
    const int count = ++s.callCounts[function];
    for (const Answer& answer : s.script.answers) {
        if (answer.function == function && answer.call == count) {
            return answer;
        }
    }
    return std::nullopt;
}

// Runs an entry point's ordinary work unless the script answers this call.
template <typename Work>
CK_RV respond(const char* function, Work work) {
    const std::optional<Answer> answer = scriptedAnswer(function);
    if (answer && !answer->applyEffect) {
        return answer->rv;
    }
    State& s = state();
    CK_RV rv = CKR_OK;
    // The standard allows these two before initialisation.
    if (!s.initialized && std::strcmp(function, "C_Initialize") != 0 &&
        std::strcmp(function, "C_GetFunctionList") != 0) {
        violation(std::string(function) + " while not initialised");
        rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    } else {
        rv = work();
    }
    return answer ? answer->rv : rv;
}

std::vector<MockSlot>::iterator slotOf(State& s, CK_SLOT_ID slot) {
    return std::find_if(s.slots.begin(), s.slots.end(), [&](const MockSlot& candidate) { return candidate.id == slot; });
}

SessionState* session(CK_SESSION_HANDLE handle, const char* function) {
    auto found = state().sessions.find(handle);
    if (found == state().sessions.end()) {
        violation(std::string(function) + " on unknown session " + std::to_string(handle));
        return nullptr;
    }
    return &found->second;
}

bool isLoggedIn(std::size_t slotIndex) { return state().loggedIn.count(slotIndex) != 0; }

// The object behind a handle, as far as the session may see it.
const MockObject* visibleObject(const SessionState& session, CK_OBJECT_HANDLE handle) {
    const std::size_t slotIndex = (handle >> 16) - 1;
    const std::size_t objectIndex = (handle & 0xFFFF) - 1;
    if (slotIndex != session.slotIndex || handle == 0) {
        return nullptr;
    }
    const auto& objects = state().slots[slotIndex].objects;
    if (objectIndex >= objects.size()) {
        return nullptr;
    }
    const MockObject& object = objects[objectIndex];
    if (object.objectClass == CKO_PRIVATE_KEY && !isLoggedIn(slotIndex)) {
        return nullptr;
    }
    return &object;
}

Bytes classBytes(CK_OBJECT_CLASS objectClass) {
    Bytes bytes(sizeof objectClass);
    std::memcpy(bytes.data(), &objectClass, sizeof objectClass);
    return bytes;
}

std::optional<Bytes> attributeOf(const MockObject& object, CK_ATTRIBUTE_TYPE type, CK_RV& missing) {
    switch (type) {
        case CKA_CLASS:
            return classBytes(object.objectClass);
        case CKA_ID:
            missing = CKR_ATTRIBUTE_TYPE_INVALID;
            return object.id;
        case CKA_VALUE:
            if (object.objectClass == CKO_PRIVATE_KEY) {
                missing = CKR_ATTRIBUTE_SENSITIVE;
                return std::nullopt;
            }
            return object.value;
        default:
            missing = CKR_ATTRIBUTE_TYPE_INVALID;
            return std::nullopt;
    }
}

bool matches(const MockObject& object, const std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>& wanted) {
    for (const auto& [type, bytes] : wanted) {
        CK_RV ignored = CKR_OK;
        const std::optional<Bytes> value = attributeOf(object, type, ignored);
        if (!value || *value != bytes) {
            return false;
        }
    }
    return true;
}

std::optional<Bytes> signRaw(EVP_PKEY* key, const Bytes& input) {
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(key, nullptr),
                                                                              &EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
        return std::nullopt;
    }
    std::size_t length = 0;
    if (EVP_PKEY_sign(context.get(), nullptr, &length, input.data(), input.size()) != 1) {
        return std::nullopt;
    }
    Bytes signature(length);
    if (EVP_PKEY_sign(context.get(), signature.data(), &length, input.data(), input.size()) != 1) {
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

}  // namespace

MockObject certificateObject(Bytes der, std::optional<Bytes> id) {
    return MockObject{CKO_CERTIFICATE, std::move(der), std::move(id), nullptr};
}

MockObject privateKeyObject(std::shared_ptr<EVP_PKEY> key, std::optional<Bytes> id) {
    return MockObject{CKO_PRIVATE_KEY, {}, std::move(id), std::move(key)};
}

Script answering(std::vector<Answer> answers) {
    Script script;
    script.answers = std::move(answers);
    return script;
}

void reset(std::vector<MockSlot> slots, Script script) {
    State& s = state();
    s = State{};
    s.slots = std::move(slots);
    s.script = std::move(script);
}

void replaceCard(std::vector<MockSlot> slots) {
    State& s = state();
    if (s.loaded) {
        violation("card replaced while the module was loaded");
    }
    s.slots = std::move(slots);
}

const Log& log() { return state().log; }

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    for (const Call& call : state().log.calls) {
        names.push_back(call.function);
    }
    return names;
}

std::vector<Call> callsOf(std::string_view function) {
    std::vector<Call> calls;
    std::copy_if(state().log.calls.begin(), state().log.calls.end(), std::back_inserter(calls),
                 [&](const Call& call) { return call.function == function; });
    return calls;
}

CK_OBJECT_HANDLE objectHandle(std::size_t slotIndex, std::size_t objectIndex) {
    return ((slotIndex + 1) << 16) | (objectIndex + 1);
}

namespace entry {

void loaded() {
    State& s = state();
    record("load", {});
    if (s.loaded) {
        violation("loaded twice");
    }
    s.loaded = true;
}

void unloaded() {
    State& s = state();
    record("unload", {});
    if (s.initialized) {
        violation("unloaded without C_Finalize");
    }
    if (!s.sessions.empty()) {
        violation("unloaded with open sessions");
    }
    if (s.script.readPinAtUnload && s.pinAddress != nullptr) {
        s.log.pinAtUnload = Bytes(s.pinAddress, s.pinAddress + s.pinLength);
    }
    s.pinAddress = nullptr;
    s.sessions.clear();
    s.loggedIn.clear();
    s.initialized = false;
    s.loaded = false;
    if (s.script.cardAfterFirstUnload) {
        s.slots = std::move(*s.script.cardAfterFirstUnload);
        s.script.cardAfterFirstUnload.reset();
    }
}

CK_RV initialize(void* arguments) {
    record("C_Initialize", {flag(arguments)});
    return respond("C_Initialize", [&]() -> CK_RV {
        State& s = state();
        if (s.initialized) {
            return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        }
        s.initialized = true;
        return CKR_OK;
    });
}

CK_RV finalize(void* reserved) {
    record("C_Finalize", {flag(reserved)});
    return respond("C_Finalize", [&]() -> CK_RV {
        State& s = state();
        if (reserved != nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (!s.sessions.empty()) {
            violation("C_Finalize with open sessions");
        }
        s.sessions.clear();
        s.loggedIn.clear();
        s.initialized = false;
        return CKR_OK;
    });
}

CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    record("C_GetSlotList", {tokenPresent, flag(list), count != nullptr ? *count : 0});
    return respond("C_GetSlotList", [&]() -> CK_RV {
        State& s = state();
        if (count == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::vector<CK_SLOT_ID> ids;
        for (const MockSlot& slot : s.slots) {
            if (slot.tokenPresent || tokenPresent == CK_FALSE) {
                ids.push_back(slot.id);
            }
        }
        if (list == nullptr) {
            *count = s.script.queriedSlotCount.value_or(ids.size());
            return CKR_OK;
        }
        const CK_ULONG reported = s.script.filledSlotCount.value_or(ids.size());
        if (*count < reported) {
            *count = reported;
            return CKR_BUFFER_TOO_SMALL;
        }
        std::copy_n(ids.begin(), std::min<std::size_t>(reported, ids.size()), list);
        *count = reported;
        return CKR_OK;
    });
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR handle) {
    record("C_OpenSession", {slot, flags, flag(application) | flag(reinterpret_cast<void*>(notify))});
    return respond("C_OpenSession", [&]() -> CK_RV {
        State& s = state();
        const auto found = slotOf(s, slot);
        if (found == s.slots.end()) {
            return CKR_SLOT_ID_INVALID;
        }
        if (!found->tokenPresent) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if ((flags & CKF_SERIAL_SESSION) == 0) {
            return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        }
        if (handle == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *handle = s.nextSession++;
        SessionState opened;
        opened.slotIndex = static_cast<std::size_t>(found - s.slots.begin());
        s.sessions[*handle] = opened;
        return CKR_OK;
    });
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    record("C_GetTokenInfo", {slot, flag(info)});
    return respond("C_GetTokenInfo", [&]() -> CK_RV {
        State& s = state();
        const auto found = slotOf(s, slot);
        if (found == s.slots.end()) {
            return CKR_SLOT_ID_INVALID;
        }
        if (!found->tokenPresent) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if (info == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *info = CK_TOKEN_INFO{};
        const auto pad = [](auto& field, const std::string& text) {
            std::memset(field, ' ', sizeof field);
            std::memcpy(field, text.data(), std::min(text.size(), sizeof field));
        };
        pad(info->label, found->label);
        pad(info->serialNumber, found->serialNumber);
        info->flags = found->tokenFlags;
        return CKR_OK;
    });
}

CK_RV getFunctionList(bool listGiven) {
    record("C_GetFunctionList", {listGiven ? 1u : 0u});
    return respond("C_GetFunctionList", [&]() -> CK_RV { return listGiven ? CKR_OK : CKR_ARGUMENTS_BAD; });
}

CK_RV closeSession(CK_SESSION_HANDLE handle) {
    record("C_CloseSession", {handle});
    return respond("C_CloseSession", [&]() -> CK_RV {
        State& s = state();
        const SessionState* open = session(handle, "C_CloseSession");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        const std::size_t slotIndex = open->slotIndex;
        s.sessions.erase(handle);
        // Closing the last session of a token ends its login.
        const bool last = std::none_of(s.sessions.begin(), s.sessions.end(),
                                       [&](const auto& entry) { return entry.second.slotIndex == slotIndex; });
        if (last) {
            s.loggedIn.erase(slotIndex);
        }
        return CKR_OK;
    });
}

CK_RV findObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    std::vector<CK_ULONG> args = {handle, count, 0, 0, 0};
    Bytes id;
    for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
        const CK_ATTRIBUTE& attribute = attributes[i];
        if (attribute.type == CKA_CLASS) {
            args[3] = attribute.ulValueLen;
            if (attribute.pValue != nullptr && attribute.ulValueLen == sizeof(CK_OBJECT_CLASS)) {
                std::memcpy(&args[2], attribute.pValue, sizeof(CK_OBJECT_CLASS));
            }
        } else if (attribute.type == CKA_ID) {
            args[4] = 1;
            const auto* bytes = static_cast<const std::uint8_t*>(attribute.pValue);
            if (bytes != nullptr) {
                id.assign(bytes, bytes + attribute.ulValueLen);
            }
        }
    }
    record("C_FindObjectsInit", args, id);
    return respond("C_FindObjectsInit", [&]() -> CK_RV {
        SessionState* open = session(handle, "C_FindObjectsInit");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (open->finding) {
            violation("C_FindObjectsInit during a search");
            return CKR_OPERATION_ACTIVE;
        }
        std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> wanted;
        for (CK_ULONG i = 0; i < count; ++i) {
            const CK_ATTRIBUTE& attribute = attributes[i];
            if (attribute.ulValueLen > 0 && attribute.pValue == nullptr) {
                return CKR_ARGUMENTS_BAD;
            }
            if (attribute.type == CKA_CLASS && attribute.ulValueLen != sizeof(CK_OBJECT_CLASS)) {
                return CKR_ATTRIBUTE_VALUE_INVALID;
            }
            const auto* bytes = static_cast<const std::uint8_t*>(attribute.pValue);
            wanted.emplace_back(attribute.type, bytes == nullptr ? Bytes{} : Bytes(bytes, bytes + attribute.ulValueLen));
        }
        open->found.clear();
        const auto& objects = state().slots[open->slotIndex].objects;
        for (std::size_t i = 0; i < objects.size(); ++i) {
            const CK_OBJECT_HANDLE object = objectHandle(open->slotIndex, i);
            if (visibleObject(*open, object) != nullptr && matches(objects[i], wanted)) {
                open->found.push_back(object);
            }
        }
        open->nextFound = 0;
        open->finding = true;
        return CKR_OK;
    });
}

CK_RV findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maximum, CK_ULONG_PTR count) {
    record("C_FindObjects", {handle, maximum});
    return respond("C_FindObjects", [&]() -> CK_RV {
        SessionState* open = session(handle, "C_FindObjects");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (!open->finding) {
            violation("C_FindObjects without C_FindObjectsInit");
            return CKR_OPERATION_NOT_INITIALIZED;
        }
        if (objects == nullptr || count == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const std::size_t n = std::min<std::size_t>(maximum, open->found.size() - open->nextFound);
        std::copy_n(open->found.begin() + static_cast<std::ptrdiff_t>(open->nextFound), n, objects);
        open->nextFound += n;
        *count = n;
        return CKR_OK;
    });
}

CK_RV findObjectsFinal(CK_SESSION_HANDLE handle) {
    record("C_FindObjectsFinal", {handle});
    return respond("C_FindObjectsFinal", [&]() -> CK_RV {
        SessionState* open = session(handle, "C_FindObjectsFinal");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (!open->finding) {
            violation("C_FindObjectsFinal without a search");
            return CKR_OPERATION_NOT_INITIALIZED;
        }
        open->finding = false;
        open->found.clear();
        return CKR_OK;
    });
}

CK_RV getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
    if (attributes != nullptr && count > 0) {
        record("C_GetAttributeValue", {handle, object, attributes[0].type, count, flag(attributes[0].pValue),
                                       attributes[0].ulValueLen});
    } else {
        record("C_GetAttributeValue", {handle, object, 0, count, 0, 0});
    }
    return respond("C_GetAttributeValue", [&]() -> CK_RV {
        const Script& script = state().script;
        SessionState* open = session(handle, "C_GetAttributeValue");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        const MockObject* found = visibleObject(*open, object);
        if (found == nullptr) {
            return CKR_OBJECT_HANDLE_INVALID;
        }
        if (attributes == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        CK_RV rv = CKR_OK;
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_ATTRIBUTE& attribute = attributes[i];
            CK_RV missing = CKR_OK;
            const std::optional<Bytes> value = attributeOf(*found, attribute.type, missing);
            if (!value) {
                attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = missing;
                continue;
            }
            const auto queried = script.queriedAttributeLength.find(attribute.type);
            const auto filled = script.filledAttributeLength.find(attribute.type);
            if (attribute.pValue == nullptr) {
                attribute.ulValueLen = queried != script.queriedAttributeLength.end() ? queried->second : value->size();
            } else if (attribute.ulValueLen >= value->size()) {
                std::copy(value->begin(), value->end(), static_cast<std::uint8_t*>(attribute.pValue));
                attribute.ulValueLen = filled != script.filledAttributeLength.end() ? filled->second : value->size();
            } else {
                attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_BUFFER_TOO_SMALL;
            }
        }
        return rv;
    });
}

CK_RV login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    record("C_Login", {handle, userType, length}, pin == nullptr ? Bytes{} : Bytes(pin, pin + length));
    State& s = state();
    s.pinAddress = pin;
    s.log.pinAddress = pin;
    s.pinLength = pin == nullptr ? 0 : length;
    return respond("C_Login", [&]() -> CK_RV {
        const SessionState* open = session(handle, "C_Login");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (userType != CKU_USER) {
            return CKR_USER_TYPE_INVALID;
        }
        if (isLoggedIn(open->slotIndex)) {
            return CKR_USER_ALREADY_LOGGED_IN;
        }
        if (pin == nullptr && length > 0) {
            return CKR_ARGUMENTS_BAD;
        }
        if (Bytes(pin, pin + length) != s.slots[open->slotIndex].pin) {
            return CKR_PIN_INCORRECT;
        }
        s.loggedIn.insert(open->slotIndex);
        return CKR_OK;
    });
}

CK_RV logout(CK_SESSION_HANDLE handle) {
    record("C_Logout", {handle});
    return respond("C_Logout", [&]() -> CK_RV {
        const SessionState* open = session(handle, "C_Logout");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (!isLoggedIn(open->slotIndex)) {
            violation("C_Logout while not logged in");
            return CKR_USER_NOT_LOGGED_IN;
        }
        state().loggedIn.erase(open->slotIndex);
        return CKR_OK;
    });
}

CK_RV signInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    if (mechanism != nullptr) {
        record("C_SignInit", {handle, mechanism->mechanism, flag(mechanism->pParameter), mechanism->ulParameterLen, key});
    } else {
        record("C_SignInit", {handle, CK_UNAVAILABLE_INFORMATION, 0, 0, key});
    }
    return respond("C_SignInit", [&]() -> CK_RV {
        SessionState* open = session(handle, "C_SignInit");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (mechanism == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (mechanism->mechanism != CKM_RSA_PKCS || mechanism->pParameter != nullptr ||
            mechanism->ulParameterLen != 0) {
            return CKR_MECHANISM_INVALID;
        }
        const MockObject* found = visibleObject(*open, key);
        if (found == nullptr || found->objectClass != CKO_PRIVATE_KEY) {
            return CKR_KEY_HANDLE_INVALID;
        }
        if (open->signing) {
            return CKR_OPERATION_ACTIVE;
        }
        open->signing = true;
        open->signingKey = key;
        return CKR_OK;
    });
}

CK_RV sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength) {
    record("C_Sign", {handle, length, flag(signature), signatureLength != nullptr ? *signatureLength : 0},
           data == nullptr ? Bytes{} : Bytes(data, data + length));
    return respond("C_Sign", [&]() -> CK_RV {
        const Script& script = state().script;
        SessionState* open = session(handle, "C_Sign");
        if (open == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (!open->signing) {
            violation("C_Sign without C_SignInit");
            return CKR_OPERATION_NOT_INITIALIZED;
        }
        if (data == nullptr || signatureLength == nullptr) {
            open->signing = false;
            return CKR_ARGUMENTS_BAD;
        }
        const MockObject* key = visibleObject(*open, open->signingKey);
        if (key == nullptr || !key->key) {
            open->signing = false;
            return CKR_KEY_HANDLE_INVALID;
        }
        const auto size = static_cast<CK_ULONG>(EVP_PKEY_get_size(key->key.get()));
        if (signature == nullptr) {
            *signatureLength = script.queriedSignatureLength.value_or(size);
            return CKR_OK;
        }
        if (*signatureLength < size) {
            *signatureLength = size;
            return CKR_BUFFER_TOO_SMALL;
        }
        open->signing = false;
        const std::optional<Bytes> made = signRaw(key->key.get(), Bytes(data, data + length));
        if (!made) {
            return CKR_FUNCTION_FAILED;
        }
        std::copy(made->begin(), made->end(), signature);
        *signatureLength = script.filledSignatureLength.value_or(made->size());
        return CKR_OK;
    });
}

}  // namespace entry

}  // namespace tarvo::test::mockp11
