#pragma once

#include "platform/vocabulary/ExitStatus.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarvo {

// The documents we answer with hold only texts, lists of objects and objects.
// std::map keeps every object's keys in ascending byte order, which is the
// order the writer must produce.
struct JsonValue;
using JsonObject = std::map<std::string, JsonValue>;
using JsonList = std::vector<JsonObject>;

// A value that is already JSON text, written out as it is. A long list is
// written entry by entry into one of these, so that no entry is held as an
// object tree longer than it takes to write it.
struct JsonText {
    std::string json;
};

struct JsonValue {
    std::variant<std::string, JsonList, JsonObject, JsonText> content;

    JsonValue(std::string text) : content(std::move(text)) {}
    JsonValue(const char* text) : content(std::string(text)) {}
    JsonValue(JsonList list) : content(std::move(list)) {}
    JsonValue(JsonObject object) : content(std::move(object)) {}
    JsonValue(JsonText json) : content(std::move(json)) {}
};

// An object whose values are all texts (a certificate's answer fields).
JsonObject objectOf(std::map<std::string, std::string> texts);

// Compact JSON with '/' escaped and non-ASCII left as UTF-8. Nothing when a
// text is not well-formed UTF-8, since no JSON text can carry it.
std::optional<std::string> serializeJSON(const JsonObject& document);

// Writes the document to the answer channel and then, as a second write, one
// line feed; returns the exit status: 0 only when the caller has received
// every byte, 2 when the answer could not be delivered whole (a closed, full
// or abandoned standard output). A document that cannot be serialised writes
// nothing of itself and turns into the error document instead.
int writeJSON(const JsonObject& document);
// The same on a descriptor of the caller's choosing.
int writeJSON(const JsonObject& document, int fd);

// Writes {"error": message} and a line feed; returns the exit status for a
// failure. Callers return it up to main rather than exiting here, so that
// every open store, module and PIN buffer is released by its owner.
int fail(std::string_view message);
int fail(std::string_view message, int fd);

}  // namespace tarvo
