#pragma once

#include "main/CardProvider.hpp"
#include "main/Json.hpp"
#include "main/KeychainProvider.hpp"

namespace tarvo {

// Every valid certificate of the store and the card, each once, the store's
// first; a card that cannot be read leaves the store's with its error as a
// warning. Throws HelperError with the text of the error document.
JsonObject listAnswer(const KeychainProvider& keychain, const CardProvider& card);

}  // namespace tarvo
