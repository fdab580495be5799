#include "main/Helper.hpp"

#include "main/Dispatch.hpp"
#include "main/Json.hpp"
#include "main/ModuleCard.hpp"
#include "main/ModuleSelection.hpp"
#include "main/Request.hpp"
#include "main/StandardInput.hpp"
#include "main/UserKeychain.hpp"
#include "platform/system/AnswerChannel.hpp"
#include "platform/system/ProcessProtection.hpp"
#include "platform/vocabulary/Messages.hpp"

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

int runHelper(std::chrono::seconds foreignCallDeadline) {
    // Before anything is read or loaded: nothing of this process, the PIN
    // least of all, may reach a core file or another process of the user;
    // nothing that a library prints may reach the answer; and a caller that
    // stops reading must not end us with a signal but with status 2.
    platform::protectProcessMemory();
    platform::setAsideAnswerChannel();
    platform::ignoreBrokenPipes();
    platform::setForeignCallDeadline(foreignCallDeadline);
    const auto request = readRequest();
    if (!request) {
        return fail(messages::request::unreadable);
    }
    // The one place where the actions meet the real store and card. The
    // module path is settled once, before the action is looked at, for every action.
    const UserKeychain keychain;
    const ModuleCard card(chooseModulePath(request->p11));
    try {
        return writeJSON(dispatch(*request, keychain, card));
    } catch (const std::exception& error) {
        // Our own errors carry the whole Turkish text; anything else the
        // libraries raise is passed on with its own description, unchanged.
        return fail(error.what());
    }
}

}  // namespace tarvo
