// Our writer against nlohmann's: for any document of texts, lists and
// objects, the same bytes (nlohmann leaves '/' bare where we escape it), the
// same refusal of text that is not UTF-8, and the document back when read.

#include "FuzzCheck.hpp"
#include "main/Json.hpp"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tarvo::fuzz {
namespace {

using nlohmann::json;

constexpr int maxDepth = 4;

JsonObject objectFrom(FuzzedDataProvider& input, int depth);

JsonValue valueFrom(FuzzedDataProvider& input, int depth) {
    switch (depth < maxDepth ? input.ConsumeIntegralInRange(0, 2) : 0) {
        case 1: {
            JsonList list(input.ConsumeIntegralInRange<std::size_t>(0, 3));
            for (auto& element : list) element = objectFrom(input, depth + 1);
            return list;
        }
        case 2:
            return objectFrom(input, depth + 1);
        default:
            return input.ConsumeRandomLengthString(64);
    }
}

JsonObject objectFrom(FuzzedDataProvider& input, int depth) {
    JsonObject object;
    const auto members = input.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < members; ++i) {
        std::string key = input.ConsumeRandomLengthString(16);
        object.insert_or_assign(std::move(key), valueFrom(input, depth));
    }
    return object;
}

json nlohmannOf(const JsonObject& object);

json nlohmannOf(const JsonValue& value) {
    if (const auto* text = std::get_if<std::string>(&value.content)) return *text;
    if (const auto* list = std::get_if<JsonList>(&value.content)) {
        json array = json::array();
        for (const auto& element : *list) array.push_back(nlohmannOf(element));
        return array;
    }
    return nlohmannOf(std::get<JsonObject>(value.content));
}

json nlohmannOf(const JsonObject& object) {
    json result = json::object();
    for (const auto& [key, value] : object) result[key] = nlohmannOf(value);
    return result;
}

// Compact, UTF-8 as it is, keys sorted by std::map as in ours; nothing when
// some text is not well-formed UTF-8.
std::optional<std::string> referenceText(const json& document) {
    std::string text;
    try {
        text = document.dump();
    } catch (const json::type_error&) {
        return std::nullopt;
    }
    std::string escaped;
    for (const char c : text) {
        if (c == '/') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace
}  // namespace tarvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarvo::fuzz;
    FuzzedDataProvider input(data, size);
    const tarvo::JsonObject document = objectFrom(input, 0);
    const json expected = nlohmannOf(document);

    const auto written = tarvo::serializeJSON(document);
    FUZZ_EXPECT(written == referenceText(expected));
    if (written) {
        FUZZ_EXPECT(json::parse(*written) == expected);
    }
    return 0;
}
