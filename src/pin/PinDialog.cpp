#include "pin/PinDialog.hpp"

#include "pin/Assuan.hpp"
#include "pin/PinentryProcess.hpp"
#include "pin/SecretBuffer.hpp"
#include "platform/Messages.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

namespace {

constexpr std::string_view confirm = messages::pin::confirm;
constexpr std::string_view cancel = messages::pin::cancel;

// Far beyond any card PIN; a longer answer is a broken pinentry.
constexpr std::size_t maxPinLength = 4096;
constexpr std::size_t lineCapacity = assuan::maxLineLength + 1;  // room for a CR

std::string command(std::string_view name, std::string_view parameter) {
    std::string line(name);
    line += ' ';
    line += assuan::escapeParameter(parameter);
    return line;
}

std::vector<std::string> setupCommands(const DialogTexts& texts, const std::optional<Terminal>& terminal) {
    std::vector<std::string> commands;
    // The terminal is only a hint for text-mode pinentries; one whose name does
    // not fit on a protocol line is left out rather than failing the dialog.
    const auto addOption = [&commands](std::string_view name, const std::string& value) {
        std::string line = command("OPTION", std::string(name) + "=" + value);
        if (line.size() <= assuan::maxLineLength) {
            commands.push_back(std::move(line));
        }
    };
    if (terminal) {
        addOption("ttyname", terminal->name);
        if (!terminal->type.empty()) {
            addOption("ttytype", terminal->type);
        }
    }
    commands.push_back(command("SETTITLE", texts.title));
    commands.push_back(command("SETDESC", texts.description));
    commands.push_back(command("SETPROMPT", texts.prompt));
    commands.push_back(command("SETOK", confirm));
    commands.push_back(command("SETCANCEL", cancel));
    return commands;
}

// Reads up to the command's final OK or ERR. Data lines go to `data` when the
// command returns data and are otherwise a protocol fault. An inquiry has
// nothing we could answer, so it is cancelled and the server decides how the
// command ends.
bool awaitCompletion(PinentryProcess& pinentry, SecretBuffer& line, SecretBuffer* data) {
    for (;;) {
        if (!pinentry.receive(line)) {
            return false;
        }
        switch (assuan::classify(line.view())) {
            case assuan::Reply::ok:
                return true;
            case assuan::Reply::status:
            case assuan::Reply::comment:
                continue;
            case assuan::Reply::inquire:
                if (!pinentry.send("CAN")) {
                    return false;
                }
                continue;
            case assuan::Reply::data:
                if (data == nullptr || !assuan::appendData(line.view(), *data)) {
                    return false;
                }
                continue;
            case assuan::Reply::error:
            case assuan::Reply::unknown:
                return false;
        }
    }
}

std::optional<SecureBytes> converse(PinentryProcess& pinentry, const DialogTexts& texts,
                                    const std::optional<Terminal>& terminal) {
    SecretBuffer line(lineCapacity);
    if (!awaitCompletion(pinentry, line, nullptr)) {
        return std::nullopt;
    }
    for (const std::string& setup : setupCommands(texts, terminal)) {
        if (!pinentry.send(setup) || !awaitCompletion(pinentry, line, nullptr)) {
            return std::nullopt;
        }
    }
    SecretBuffer pin(maxPinLength);
    if (!pinentry.send("GETPIN") || !awaitCompletion(pinentry, line, &pin)) {
        return std::nullopt;
    }
    return SecureBytes(pin.view());
}

}  // namespace

DialogTexts cardDialogTexts(bool /*finalTry*/) {
    return {messages::pin::cardTitle, messages::pin::cardDescription, messages::pin::cardPrompt};
}

DialogTexts storeDialogTexts(const std::string& tokenName) {
    return {messages::pin::storeTitle,
            messages::pin::storeDescriptionBefore + tokenName + messages::pin::storeDescriptionAfter,
            messages::pin::storePrompt};
}

std::optional<SecureBytes> runPinDialog(const DialogTexts& texts, const std::optional<Terminal>& terminal) {
    PinentryProcess pinentry;
    if (!pinentry.running()) {
        return std::nullopt;
    }
    std::optional<SecureBytes> pin = converse(pinentry, texts, terminal);
    pinentry.send("BYE");
    return pin;
}

}  // namespace tarvo
