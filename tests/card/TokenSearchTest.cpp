#include "MockCardTest.hpp"
#include "card/CardSession.hpp"
#include "card/PKCS11.hpp"
#include "card/TokenSearch.hpp"

#include <cstring>
#include <functional>

namespace tarvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using mockp11::Answer;
using mockp11::MockObject;
using mockp11::MockSlot;
using mockp11::Script;

// Runs the search in a session on the first slot that holds a token.
template <typename Search>
auto inSession(Search&& search) {
    return withPKCS11(mockModule, [&](const PKCS11& pkcs11) {
        const std::optional<CardSession> session =
            CardSession::openIfTokenUsable(pkcs11, slotsWithToken(pkcs11).front());
        return search(pkcs11, session->handle());
    });
}

std::vector<MockObject> certificates(std::size_t count) {
    std::vector<MockObject> objects;
    for (std::size_t i = 0; i < count; ++i) {
        objects.push_back(mockp11::certificateObject(Bytes{static_cast<std::uint8_t>(i)}));
    }
    return objects;
}

std::vector<CK_OBJECT_HANDLE> handles(std::size_t slotIndex, std::size_t first, std::size_t count) {
    std::vector<CK_OBJECT_HANDLE> result;
    for (std::size_t i = first; i < first + count; ++i) {
        result.push_back(mockp11::objectHandle(slotIndex, i));
    }
    return result;
}

// ---- slotsWithToken

struct SlotCase {
    const char* name;
    std::function<std::vector<MockSlot>()> slots;
    std::function<Script()> script;
    std::vector<CK_SLOT_ID> ids;
    std::string error;  // empty: the ids above
    std::size_t calls;  // C_GetSlotList calls made
};

void PrintTo(const SlotCase& row, std::ostream* out) { *out << row.name; }

class SlotsWithTokenTest : public MockCardTestWithParam<SlotCase> {};

TEST_P(SlotsWithTokenTest, ListsSlotsThatHoldATokenInModuleOrder) {
    const SlotCase& c = GetParam();
    mockp11::reset(c.slots(), c.script());
    std::vector<CK_SLOT_ID> ids;
    const std::string error =
        errorOf([&] { ids = withPKCS11(mockModule, [](const PKCS11& p) { return slotsWithToken(p); }); });
    EXPECT_EQ(error, c.error.empty() ? "<no error>" : c.error);
    EXPECT_THAT(ids, ElementsAreArray(c.ids));
    const std::vector<mockp11::Call> calls = mockp11::callsOf("C_GetSlotList");
    ASSERT_EQ(calls.size(), c.calls);
    // First the count with no buffer, then the buffer with that count as its capacity.
    EXPECT_THAT(calls[0].args, ElementsAre(CK_TRUE, 0u, 0u));
    if (calls.size() == 2) {
        const CK_ULONG queried = c.script().queriedSlotCount.value_or(2);
        EXPECT_THAT(calls[1].args, ElementsAre(CK_TRUE, 1u, queried));
    }
}

std::vector<MockSlot> twoTokensAndAnEmptyReader() {
    std::vector<MockSlot> slots = {MockSlot{9}, MockSlot{3}, MockSlot{7}};
    slots[1].tokenPresent = false;
    return slots;
}

Script counts(std::optional<CK_ULONG> queried, std::optional<CK_ULONG> filled) {
    Script script;
    script.queriedSlotCount = queried;
    script.filledSlotCount = filled;
    return script;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SlotsWithTokenTest,
    ::testing::Values(
        SlotCase{"NoToken", [] { std::vector<MockSlot> s = {MockSlot{1}}; s[0].tokenPresent = false; return s; },
                 [] { return Script{}; }, {}, "", 1},
        SlotCase{"TwoTokens", twoTokensAndAnEmptyReader, [] { return Script{}; }, {9, 7}, "", 2},
        SlotCase{"SecondCallReportsFewer", twoTokensAndAnEmptyReader, [] { return counts(std::nullopt, 1); }, {9},
                 "", 2},
        SlotCase{"TokenInsertedBetweenCalls", twoTokensAndAnEmptyReader, [] { return counts(1, std::nullopt); }, {},
                 "AKİS kart yuvaları okunamadı: 0x150", 2},
        SlotCase{"FirstCallFails", twoTokensAndAnEmptyReader,
                 [] { return mockp11::answering({{"C_GetSlotList", 1, CKR_DEVICE_ERROR}}); }, {},
                 "AKİS kart yuvaları okunamadı: 0x30", 1},
        SlotCase{"SecondCallFails", twoTokensAndAnEmptyReader,
                 [] { return mockp11::answering({{"C_GetSlotList", 2, CKR_DEVICE_REMOVED}}); }, {},
                 "AKİS kart yuvaları okunamadı: 0x32", 2}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- objects

struct ObjectsCase {
    const char* name;
    std::size_t objects;
    Script script;
    std::size_t found;        // handles returned from the first object on
    std::size_t findCalls;    // C_FindObjects calls
    std::size_t finalCalls;   // C_FindObjectsFinal calls
    std::string error;
};

void PrintTo(const ObjectsCase& row, std::ostream* out) { *out << row.name; }

class ObjectsTest : public MockCardTestWithParam<ObjectsCase> {};

TEST_P(ObjectsTest, FetchesInBatchesOfThirtyTwoAndEndsTheSearch) {
    const ObjectsCase& c = GetParam();
    mockp11::reset({MockSlot{4, certificates(c.objects)}}, c.script);
    std::vector<CK_OBJECT_HANDLE> found;
    const std::string error = errorOf([&] {
        found = inSession(
            [](const PKCS11& p, CK_SESSION_HANDLE s) { return objects(p, s, CKO_CERTIFICATE, std::nullopt); });
    });
    EXPECT_EQ(error, c.error.empty() ? "<no error>" : c.error);
    EXPECT_THAT(found, ElementsAreArray(handles(0, 0, c.found)));
    const auto finds = mockp11::callsOf("C_FindObjects");
    EXPECT_EQ(finds.size(), c.findCalls);
    for (const auto& call : finds) {
        EXPECT_EQ(call.args.at(1), 32u);
    }
    EXPECT_EQ(mockp11::callsOf("C_FindObjectsFinal").size(), c.finalCalls);
    // The search is over before the session closes.
    const Names names = mockp11::callNames();
    if (c.finalCalls == 1) {
        const auto close = std::find(names.begin(), names.end(), "C_CloseSession");
        ASSERT_NE(close, names.begin());
        EXPECT_EQ(*(close - 1), "C_FindObjectsFinal");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ObjectsTest,
    ::testing::Values(
        ObjectsCase{"None", 0, {}, 0, 1, 1, ""},
        ObjectsCase{"ThirtyOne", 31, {}, 31, 1, 1, ""},
        ObjectsCase{"ThirtyTwo", 32, {}, 32, 2, 1, ""},
        ObjectsCase{"ThirtyThree", 33, {}, 33, 2, 1, ""},
        ObjectsCase{"SixtyFive", 65, {}, 65, 3, 1, ""},
        ObjectsCase{"InitFails", 3, mockp11::answering({{"C_FindObjectsInit", 1, CKR_TEMPLATE_INCOMPLETE}}), 0, 0, 0,
                    "AKİS kart nesneleri aranamadı: 0xd0"},
        ObjectsCase{"SecondBatchFails", 40, mockp11::answering({{"C_FindObjects", 2, CKR_DEVICE_ERROR}}), 0, 2, 1,
                    "AKİS kart nesneleri okunamadı: 0x30"},
        ObjectsCase{"FinalFailureIgnored", 2, mockp11::answering({{"C_FindObjectsFinal", 1, CKR_GENERAL_ERROR, true}}),
                    2, 1, 1, ""}),
    [](const auto& row) { return std::string(row.param.name); });

using ObjectTemplate = MockCardTest;

TEST_F(ObjectTemplate, HoldsAnEightByteClassAndTheIdOnlyWhenGiven) {
    const Bytes idA = {0xA1, 0x00, 0x02};
    mockp11::reset({MockSlot{4,
                             {mockp11::certificateObject({1}, idA), mockp11::certificateObject({2}, Bytes{}),
                              mockp11::certificateObject({3}), mockp11::certificateObject({4}, idA)}}});
    const auto search = [](std::optional<Bytes> id) {
        return inSession([&](const PKCS11& p, CK_SESSION_HANDLE s) { return objects(p, s, CKO_CERTIFICATE, id); });
    };
    EXPECT_THAT(search(std::nullopt), ElementsAreArray(handles(0, 0, 4)));
    EXPECT_THAT(search(idA), ElementsAre(mockp11::objectHandle(0, 0), mockp11::objectHandle(0, 3)));
    // An empty id is still searched for, and finds only the empty CKA_ID.
    EXPECT_THAT(search(Bytes{}), ElementsAre(mockp11::objectHandle(0, 1)));

    const auto inits = mockp11::callsOf("C_FindObjectsInit");
    ASSERT_EQ(inits.size(), 3u);
    // {session, entries, class, class length, has CKA_ID}
    EXPECT_THAT(inits[0].args, ElementsAre(::testing::_, 1u, CKO_CERTIFICATE, 8u, 0u));
    EXPECT_THAT(inits[1].args, ElementsAre(::testing::_, 2u, CKO_CERTIFICATE, 8u, 1u));
    EXPECT_EQ(inits[1].data, idA);
    EXPECT_THAT(inits[2].args, ElementsAre(::testing::_, 2u, CKO_CERTIFICATE, 8u, 1u));
    EXPECT_EQ(inits[2].data, Bytes{});
}

// ---- attributeValue

struct AttributeCase {
    const char* name;
    std::optional<Bytes> id;  // the object's CKA_ID
    Script script;
    std::optional<Bytes> value;
    std::size_t calls;
};

void PrintTo(const AttributeCase& row, std::ostream* out) { *out << row.name; }

class AttributeValueTest : public MockCardTestWithParam<AttributeCase> {};

TEST_P(AttributeValueTest, AsksForTheLengthThenReadsWithinBounds) {
    const AttributeCase& c = GetParam();
    mockp11::reset({MockSlot{4, {mockp11::certificateObject({0x30}, c.id)}}}, c.script);
    const std::optional<Bytes> value = inSession([](const PKCS11& p, CK_SESSION_HANDLE s) {
        return attributeValue(p, s, mockp11::objectHandle(0, 0), CKA_ID);
    });
    ASSERT_EQ(value.has_value(), c.value.has_value());
    if (value) {
        EXPECT_EQ(value->size(), c.value->size());
        EXPECT_TRUE(*value == *c.value);  // no gtest printing of a MiB of bytes
    }
    const auto calls = mockp11::callsOf("C_GetAttributeValue");
    ASSERT_EQ(calls.size(), c.calls);
    // {session, object, type, count, value given, length passed}
    EXPECT_THAT(calls[0].args, ElementsAre(::testing::_, mockp11::objectHandle(0, 0), CKA_ID, 1u, 0u, 0u));
    if (calls.size() == 2) {
        const CK_ULONG length = c.script.queriedAttributeLength.count(CKA_ID) != 0
                                    ? c.script.queriedAttributeLength.at(CKA_ID)
                                    : c.id->size();
        EXPECT_THAT(calls[1].args, ElementsAre(::testing::_, mockp11::objectHandle(0, 0), CKA_ID, 1u, 1u, length));
    }
}

Script attributeLengths(std::optional<CK_ULONG> queried, std::optional<CK_ULONG> filled) {
    Script script;
    if (queried) {
        script.queriedAttributeLength[CKA_ID] = *queried;
    }
    if (filled) {
        script.filledAttributeLength[CKA_ID] = *filled;
    }
    return script;
}

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
}

Bytes padded(Bytes bytes, std::size_t size) {
    bytes.resize(size, 0);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AttributeValueTest,
    ::testing::Values(
        AttributeCase{"Ordinary", pattern(20), {}, pattern(20), 2},
        AttributeCase{"Missing", std::nullopt, {}, std::nullopt, 1},
        AttributeCase{"Empty", Bytes{}, {}, std::nullopt, 1},
        AttributeCase{"Unavailable", pattern(4), attributeLengths(CK_UNAVAILABLE_INFORMATION, std::nullopt),
                      std::nullopt, 1},
        AttributeCase{"LargestAllowed", pattern(0xFFFFF), {}, pattern(0xFFFFF), 2},
        AttributeCase{"OneMebibyte", pattern(0x100000), {}, std::nullopt, 1},
        AttributeCase{"SecondAnswerShorter", pattern(10), attributeLengths(16, std::nullopt), pattern(10), 2},
        AttributeCase{"SecondAnswerLonger", pattern(10), attributeLengths(16, 20), padded(pattern(10), 16), 2},
        AttributeCase{"FirstCallFails", pattern(5), mockp11::answering({{"C_GetAttributeValue", 1, CKR_DEVICE_ERROR}}),
                      std::nullopt, 1},
        AttributeCase{"SecondCallFails", pattern(5),
                      mockp11::answering({{"C_GetAttributeValue", 2, CKR_DEVICE_ERROR}}), std::nullopt, 2}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarvo::test
