#include "pin/PinDialog.hpp"

#include "pin/Assuan.hpp"
#include "pin/DialogLocale.hpp"
#include "pin/PinentryProcess.hpp"
#include "pin/SecretBuffer.hpp"
#include "platform/system/Signals.hpp"
#include "platform/system/TerminalMode.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

namespace {

using Clock = std::chrono::steady_clock;

// Far beyond any card PIN; a longer answer is a broken pinentry.
constexpr std::size_t maxPinLength = 4096;
constexpr std::size_t lineCapacity = assuan::maxLineLength + 1;  // room for a CR

// The codes of libgpg-error (gpg-error.h) with which pinentry reports that the
// person gave no PIN: GPG_ERR_CANCELED, GPG_ERR_FULLY_CANCELED (Ctrl-C in
// pinentry-tty) and GPG_ERR_TIMEOUT (its own time-out). An "ERR" line carries
// them in the low 16 bits; the bits above name the source (pinentry's is 5).
constexpr std::uint32_t cancelledCode = 99;
constexpr std::uint32_t fullyCancelledCode = 198;
constexpr std::uint32_t timedOutCode = 62;
constexpr std::uint32_t errorCodeMask = 0xFFFF;

bool meansCancel(std::uint32_t code) {
    const std::uint32_t number = code & errorCodeMask;
    return number == cancelledCode || number == fullyCancelledCode || number == timedOutCode;
}

std::string command(std::string_view name, std::string_view parameter) {
    std::string line(name);
    line += ' ';
    line += assuan::escapeParameter(parameter);
    return line;
}

std::vector<std::string> setupCommands(const DialogTexts& texts, const std::optional<Terminal>& terminal,
                                       const DialogTiming& timing) {
    std::vector<std::string> commands;
    // Options are only hints; one that does not fit on a protocol line is left
    // out rather than failing the dialog.
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
    addOption("lc-ctype", dialogLocale("LC_CTYPE"));
    addOption("lc-messages", dialogLocale("LC_MESSAGES"));
    commands.push_back(command("SETTIMEOUT", std::to_string(timing.timeout.count())));
    commands.push_back(command("SETTITLE", texts.title));
    commands.push_back(command("SETDESC", texts.description));
    commands.push_back(command("SETPROMPT", texts.prompt));
    commands.push_back(command("SETOK", messages::pin::confirm));
    commands.push_back(command("SETCANCEL", messages::pin::cancel));
    return commands;
}

enum class Completion { ok, refused, ended, timedOut, interrupted, broken };

struct Answer {
    Completion completion = Completion::broken;
    std::uint32_t errorCode = 0;  // with `refused`; 0 when the line named none
};

// Reads up to the command's final OK or ERR. Data lines go to `data` when the
// command returns data and are otherwise a protocol fault. An inquiry has
// nothing we could answer, so it is cancelled and the server decides how the
// command ends.
Answer awaitCompletion(PinentryProcess& pinentry, SecretBuffer& line, SecretBuffer* data, Clock::time_point deadline) {
    for (;;) {
        switch (pinentry.receive(line, deadline)) {
            case PinentryProcess::Received::line:
                break;
            case PinentryProcess::Received::ended:
                return {Completion::ended};
            case PinentryProcess::Received::timedOut:
                return {Completion::timedOut};
            case PinentryProcess::Received::interrupted:
                return {Completion::interrupted};
            case PinentryProcess::Received::broken:
                return {Completion::broken};
        }
        switch (assuan::classify(line.view())) {
            case assuan::Reply::ok:
                return {Completion::ok};
            case assuan::Reply::error:
                return {Completion::refused, assuan::errorCode(line.view()).value_or(0)};
            case assuan::Reply::status:
            case assuan::Reply::comment:
                continue;
            case assuan::Reply::inquire:
                // A pinentry that is gone shows in the next read.
                pinentry.send("CAN");
                continue;
            case assuan::Reply::data:
                if (data == nullptr || !assuan::appendData(line.view(), *data)) {
                    return {Completion::broken};
                }
                continue;
            case assuan::Reply::unknown:
                return {Completion::broken};
        }
    }
}

// What the answer to GETPIN means. Once the dialog is up, a pinentry that ends
// (Ctrl-C at the terminal), outlives its time-out, or is still waiting when
// the person presses Ctrl-C or Ctrl-\ has lost the person's answer; anything
// else that is not a PIN is a dialog that failed.
PinReply pinReply(const Answer& answer, const SecretBuffer& pin) {
    switch (answer.completion) {
        case Completion::ok:
            return {PinOutcome::entered, SecureBytes(pin.view())};
        case Completion::refused:
            return {meansCancel(answer.errorCode) ? PinOutcome::cancelled : PinOutcome::unavailable, {}};
        case Completion::ended:
        case Completion::timedOut:
        case Completion::interrupted:
            return {PinOutcome::cancelled, {}};
        case Completion::broken:
            break;
    }
    return {PinOutcome::unavailable, {}};
}

struct Conversation {
    PinReply reply;
    bool answering = true;  // false when pinentry stopped answering in time
};

Conversation converse(PinentryProcess& pinentry, const DialogTexts& texts, const std::optional<Terminal>& terminal,
                      const DialogTiming& timing) {
    SecretBuffer line(lineCapacity);
    const auto reply = [&] { return awaitCompletion(pinentry, line, nullptr, Clock::now() + timing.reply).completion; };
    // Until GETPIN nothing is on screen, so every failure is a dialog that could not be shown.
    Completion completion = reply();
    for (const std::string& setup : setupCommands(texts, terminal, timing)) {
        if (completion != Completion::ok) {
            break;
        }
        completion = pinentry.send(setup) ? reply() : Completion::broken;
    }
    // The person can stop the dialog before it is drawn, too; the key may
    // have ended pinentry before our wait saw it.
    if (completion == Completion::interrupted ||
        (completion != Completion::ok && platform::InterruptsCaught::arrived())) {
        return {{PinOutcome::cancelled, {}}, false};
    }
    if (completion != Completion::ok) {
        return {{PinOutcome::unavailable, {}}, completion != Completion::timedOut};
    }
    if (!pinentry.send("GETPIN")) {
        return {{PinOutcome::unavailable, {}}};
    }
    SecretBuffer pin(maxPinLength);
    const Answer answer = awaitCompletion(pinentry, line, &pin, Clock::now() + timing.timeout + timing.grace);
    return {pinReply(answer, pin),
            answer.completion != Completion::timedOut && answer.completion != Completion::interrupted};
}

}  // namespace

DialogTexts cardDialogTexts(bool finalTry) {
    std::string description = std::string(messages::pin::cardTitle) + "\n";
    if (finalTry) {
        description += std::string(messages::pin::finalTryWarning) + "\n";
    }
    description += messages::pin::cardDescription;
    return {messages::pin::cardTitle, std::move(description), messages::pin::cardPrompt};
}

DialogTexts storeDialogTexts(const std::string& tokenName) {
    return {messages::pin::storeTitle,
            std::string(messages::pin::storeTitle) + "\n" + messages::pin::storeDescriptionBefore + tokenName +
                messages::pin::storeDescriptionAfter,
            messages::pin::storePrompt};
}

PinReply runPinDialog(const DialogTexts& texts, const std::optional<Terminal>& terminal, const DialogTiming& timing) {
    // Ctrl-C at the terminal reaches pinentry as well as us. It does not end
    // us: it ends the dialog, and we live on to report a cancel. pinentry
    // itself may not go (pinentry-tty with a time-out keeps reading), so we
    // end it ourselves; and since a text pinentry ended that way cannot give
    // the terminal back, we put back the terminal's mode as it was.
    const std::optional<platform::TerminalMode> terminalMode =
        terminal ? platform::TerminalMode::save(terminal->name) : std::nullopt;
    const platform::InterruptsCaught interrupts;
    PinentryProcess pinentry;
    if (!pinentry.running()) {
        return {PinOutcome::unavailable, {}};
    }
    Conversation conversation = converse(pinentry, texts, terminal, timing);
    if (conversation.answering) {
        pinentry.close();
    } else {
        pinentry.abandon();
    }
    return std::move(conversation.reply);
}

}  // namespace tarvo
