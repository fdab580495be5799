#include "main/Helper.hpp"

#include "main/Actions.hpp"
#include "main/Json.hpp"
#include "main/ModuleSelection.hpp"
#include "main/Request.hpp"
#include "main/StandardInput.hpp"
#include "platform/Messages.hpp"

#include <exception>
#include <unistd.h>

namespace tarvo {

namespace {

std::optional<Request> readRequest() {
    // A request too large for the memory we may have is as unreadable as a
    // malformed one; it must end in the error document, not in an abort.
    try {
        // The input may hold the PIN; it is wiped as soon as it has been decoded.
        const auto input = readToEnd(STDIN_FILENO);
        return input ? decodeRequest(input->view()) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

int runHelper() {
    const auto request = readRequest();
    if (!request) {
        return fail(messages::request::unreadable);
    }
    // Settled once, before the action is looked at, for every action.
    const std::string modulePath = chooseModulePath(request->p11);
    try {
        return writeJSON(dispatch(*request, systemProviders(modulePath)));
    } catch (const std::exception& error) {
        // Our own errors carry the whole Turkish text; anything else the
        // libraries raise is passed on with its own description, unchanged.
        return fail(error.what());
    }
}

}  // namespace tarvo
