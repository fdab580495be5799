#include "main/Json.hpp"

#include "platform/system/AnswerChannel.hpp"
#include "platform/system/FileDescriptor.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <cstdint>
#include <cstdio>

namespace tarvo {

namespace {

constexpr std::string_view unserialisableMessage = messages::request::unserialisable;

// Length of the well-formed UTF-8 sequence that starts at `at`, or 0. Follows
// the table of well-formed byte sequences: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

bool appendString(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = sequenceLength(text, i);
            if (length == 0) {
                return false;
            }
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escape[7];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
    return true;
}

bool appendObject(std::string& out, const JsonObject& object);

bool appendValue(std::string& out, const JsonValue& value) {
    if (const auto* text = std::get_if<std::string>(&value.content)) {
        return appendString(out, *text);
    }
    if (const auto* json = std::get_if<JsonText>(&value.content)) {
        out += json->json;
        return true;
    }
    if (const auto* list = std::get_if<JsonList>(&value.content)) {
        out += '[';
        for (std::size_t i = 0; i < list->size(); ++i) {
            if (i > 0) out += ',';
            if (!appendObject(out, (*list)[i])) return false;
        }
        out += ']';
        return true;
    }
    return appendObject(out, std::get<JsonObject>(value.content));
}

bool appendObject(std::string& out, const JsonObject& object) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : object) {
        if (!first) out += ',';
        first = false;
        if (!appendString(out, key)) return false;
        out += ':';
        if (!appendValue(out, value)) return false;
    }
    out += '}';
    return true;
}

// Whatever happens here cannot be reported anywhere else: standard output is
// the only channel, so a failed write ends the attempt with the failure status.
bool writeDocument(int fd, std::string_view text) {
    return platform::writeAll(fd, text.data(), text.size()) && platform::writeAll(fd, "\n", 1);
}

}  // namespace

JsonObject objectOf(std::map<std::string, std::string> texts) {
    JsonObject object;
    for (auto& [key, value] : texts) {
        object.emplace(key, std::move(value));
    }
    return object;
}

std::optional<std::string> serializeJSON(const JsonObject& document) {
    std::string out;
    // Written text taken over whole is most of a long answer; room for it
    // from the start spares the copies of a growing buffer.
    std::size_t written = 0;
    for (const auto& [key, value] : document) {
        if (const auto* json = std::get_if<JsonText>(&value.content)) {
            written += json->json.size();
        }
    }
    out.reserve(written + 256);
    if (!appendObject(out, document)) {
        return std::nullopt;
    }
    return out;
}

int writeJSON(const JsonObject& document, int fd) {
    const auto text = serializeJSON(document);
    if (!text) {
        return fail(unserialisableMessage, fd);
    }
    return writeDocument(fd, *text) ? answeredStatus : failedStatus;
}

int fail(std::string_view message, int fd) {
    auto text = serializeJSON({{"error", std::string(message)}});
    if (!text) {
        // Only a message that is not UTF-8 gets here; say what went wrong instead.
        text = serializeJSON({{"error", std::string(unserialisableMessage)}});
    }
    writeDocument(fd, *text);
    return failedStatus;
}

// The run's one document; should another have been claimed already, this one
// is not written, and the run has failed.
int writeJSON(const JsonObject& document) {
    return platform::claimAnswer() ? writeJSON(document, platform::answerDescriptor()) : failedStatus;
}

int fail(std::string_view message) {
    if (platform::claimAnswer()) {
        fail(message, platform::answerDescriptor());
    }
    return failedStatus;
}

}  // namespace tarvo
