#pragma once

#include "main/CardProvider.hpp"
#include "main/Json.hpp"
#include "main/KeychainProvider.hpp"
#include "main/Request.hpp"

namespace tarvo {

// Chooses the action by its exact name. The store is opened only for actions
// that may need it, and it is closed again before the answer goes out.
JsonObject dispatch(const Request& request, const KeychainProvider& keychain, const CardProvider& card);

}  // namespace tarvo
