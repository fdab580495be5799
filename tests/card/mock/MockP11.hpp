#pragma once

// A scriptable PKCS#11 card for the tests. The module itself (MockModule.cpp)
// is a thin shell that is loaded and unloaded by the code under test; the
// card, the script and the call log live here, in a library of their own that
// stays loaded, so they survive every dlclose of the module.

#include "platform/vocabulary/Bytes.hpp"

#include <p11-kit/pkcs11.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using EVP_PKEY = struct evp_pkey_st;

namespace tarvo::test::mockp11 {

struct MockObject {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    Bytes value;                    // CKA_VALUE of a certificate (private keys have none readable)
    std::optional<Bytes> id;        // CKA_ID; absent: the object has no such attribute
    std::shared_ptr<EVP_PKEY> key;  // the key a private key object signs with
};

MockObject certificateObject(Bytes der, std::optional<Bytes> id = std::nullopt);
MockObject privateKeyObject(std::shared_ptr<EVP_PKEY> key, std::optional<Bytes> id = std::nullopt);

// The PIN a mock token accepts unless a test sets another.
inline Bytes defaultMockPin() {
    const std::string text = "123456";
    return Bytes(text.begin(), text.end());
}

struct MockSlot {
    explicit MockSlot(CK_SLOT_ID slotId, std::vector<MockObject> held = {})
        : id(slotId), objects(std::move(held)) {}

    CK_SLOT_ID id = 0;
    bool tokenPresent = true;
    Bytes pin = defaultMockPin();  // the PIN the token accepts
    CK_FLAGS tokenFlags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED;  // C_GetTokenInfo
    std::string label;         // C_GetTokenInfo, blank-padded there
    std::string serialNumber;  // C_GetTokenInfo, blank-padded there
    std::vector<MockObject> objects;
};

// The n-th call (counted from 1 since reset()) of an entry point answers rv.
// Without applyEffect the call does nothing else; with it, the call does its
// ordinary work first and then answers rv instead of its own result.
struct Answer {
    Answer(std::string functionName, int callNumber, CK_RV answer, bool effect = false)
        : function(std::move(functionName)), call(callNumber), rv(answer), applyEffect(effect) {}

    std::string function;
    int call = 1;
    CK_RV rv = CKR_OK;
    bool applyEffect = false;
};

struct Script {
    std::vector<Answer> answers;
    // Counts C_GetSlotList reports without and with a buffer, in place of the real one.
    std::optional<CK_ULONG> queriedSlotCount;
    std::optional<CK_ULONG> filledSlotCount;
    // Lengths C_GetAttributeValue reports for an attribute type, without and
    // with a buffer (the bytes written stay the real ones).
    std::map<CK_ATTRIBUTE_TYPE, CK_ULONG> queriedAttributeLength;
    std::map<CK_ATTRIBUTE_TYPE, CK_ULONG> filledAttributeLength;
    // Lengths C_Sign reports without and with a buffer.
    std::optional<CK_ULONG> queriedSignatureLength;
    std::optional<CK_ULONG> filledSignatureLength;
    // Copy the bytes of the buffer C_Login read when the module is unloaded,
    // to see whether that very buffer was still intact then. The caller must
    // keep it alive until the unload.
    bool readPinAtUnload = false;
    // The card in the readers after the first unload of the module (a card
    // swapped between the two loads of a signing); absent: the same card.
    std::optional<std::vector<MockSlot>> cardAfterFirstUnload;
};

Script answering(std::vector<Answer> answers);

// One event: "load", "unload" or an entry point's name, with the scalar
// arguments that matter for it:
//   C_Initialize, C_Finalize   {argument is not null}
//   C_GetSlotList              {tokenPresent, list is not null, count passed in}
//   C_OpenSession              {slot, flags, application or notify not null}
//   C_CloseSession, C_FindObjectsFinal, C_Logout  {session}
//   C_FindObjectsInit          {session, template count, CKA_CLASS value, CKA_CLASS length,
//                               has CKA_ID}; data: the CKA_ID bytes
//   C_FindObjects              {session, maximum count}
//   C_GetAttributeValue        {session, object, type, count, value is not null, length passed in}
//   C_Login                    {session, user type, PIN length}; data: the PIN bytes
//   C_SignInit                 {session, mechanism, parameter is not null, parameter length, key}
//   C_Sign                     {session, data length, signature is not null, length passed in};
//                              data: the bytes to sign
//   C_GetTokenInfo             {slot, info is not null}
//   C_GetFunctionList          {list pointer is not null}
struct Call {
    std::string function;
    std::vector<CK_ULONG> args;
    Bytes data;
};

struct Log {
    std::vector<Call> calls;
    // Misuse of the interface the module noticed (calls before C_Initialize,
    // unknown sessions, sessions left open at unload, ...).
    std::vector<std::string> violations;
    std::optional<Bytes> pinAtUnload;
    const void* pinAddress = nullptr;  // where the last C_Login read the PIN from
};

// A fresh card, script and log. Must not be called while the module is loaded.
void reset(std::vector<MockSlot> slots, Script script = {});

// Another card in the readers, as a person may change it while the module is
// unloaded (during a PIN dialog); the script and the log go on.
void replaceCard(std::vector<MockSlot> slots);

const Log& log();
std::vector<std::string> callNames();
std::vector<Call> callsOf(std::string_view function);

// The handle the module gives the index-th object of the slot at slotIndex.
CK_OBJECT_HANDLE objectHandle(std::size_t slotIndex, std::size_t objectIndex);

}  // namespace tarvo::test::mockp11
