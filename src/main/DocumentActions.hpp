#pragma once

#include "main/CardProvider.hpp"
#include "main/Json.hpp"
#include "main/Request.hpp"

namespace tarvo {

// The card's alone, so they are given nothing of the store. Each builds its
// answer or throws HelperError with the text of the error document.
JsonObject documentCertificateAnswer(const Request& request, const CardProvider& card);
JsonObject documentSignatureAnswer(const Request& request, const CardProvider& card);

}  // namespace tarvo
