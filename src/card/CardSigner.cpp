#include "card/CardSigner.hpp"

#include <algorithm>

namespace tarvo {

namespace {

// Far beyond any RSA modulus a card holds; a larger answer is not believed.
constexpr CK_ULONG largestSignature = 16384;

}  // namespace

Bytes signOnCard(const PKCS11& pkcs11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, ByteView data,
                 const SigningMessages& messages) {
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    CK_RV rv = pkcs11.C_SignInit(session, &mechanism, key);
    if (rv != CKR_OK) {
        throw HelperError(messages.signInit + hexCode(rv));
    }
    // The interface takes the data through a non-const pointer.
    Bytes input(data.begin(), data.end());
    CK_ULONG length = 0;
    rv = pkcs11.C_Sign(session, input.data(), input.size(), nullptr, &length);
    if (rv != CKR_OK || length == 0 || length > largestSignature) {
        // An unbelievable length comes with CKR_OK, so the message reads 0x0.
        throw HelperError(messages.signatureLength + hexCode(rv));
    }
    Bytes signature(length, 0);
    CK_ULONG written = length;
    rv = pkcs11.C_Sign(session, input.data(), input.size(), signature.data(), &written);
    if (rv != CKR_OK) {
        throw HelperError(messages.sign + hexCode(rv));
    }
    signature.resize(std::min(written, length));
    return signature;
}

}  // namespace tarvo
