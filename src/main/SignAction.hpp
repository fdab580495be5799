#pragma once

#include "main/CardProvider.hpp"
#include "main/Json.hpp"
#include "main/KeychainProvider.hpp"
#include "main/Request.hpp"

namespace tarvo {

// Signs the request's challenge with the store identity of the request's
// fingerprint, else on the card. Throws HelperError with the text of the
// error document.
JsonObject signAnswer(const Request& request, const KeychainProvider& keychain, const CardProvider& card);

}  // namespace tarvo
