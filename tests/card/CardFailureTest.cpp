#include "card/CardFailure.hpp"

#include <gtest/gtest.h>

namespace tarvo::test {
namespace {

struct KindCase {
    CardCall call;
    CK_RV code;
    FailureKind kind;
};

// A code that means something at one call means nothing special at another:
// each row that names a kind has a twin at a call where the same code is
// just a failure.
TEST(FailureKindTest, JudgesEachCodeByTheCallThatGaveIt) {
    const KindCase cases[] = {
        {CardCall::getFunctionList, CKR_OK, FailureKind::none},
        {CardCall::sign, CKR_OK, FailureKind::none},
        {CardCall::initialize, CKR_CRYPTOKI_ALREADY_INITIALIZED, FailureKind::none},
        {CardCall::login, CKR_CRYPTOKI_ALREADY_INITIALIZED, FailureKind::other},
        {CardCall::initialize, CKR_GENERAL_ERROR, FailureKind::other},
        {CardCall::login, CKR_USER_ALREADY_LOGGED_IN, FailureKind::none},
        {CardCall::initialize, CKR_USER_ALREADY_LOGGED_IN, FailureKind::other},
        {CardCall::openSession, CKR_TOKEN_NOT_PRESENT, FailureKind::tokenAbsent},
        {CardCall::openSession, CKR_TOKEN_NOT_RECOGNIZED, FailureKind::tokenAbsent},
        {CardCall::openSession, CKR_DEVICE_ERROR, FailureKind::other},
        {CardCall::slotList, CKR_TOKEN_NOT_PRESENT, FailureKind::other},
        {CardCall::login, CKR_TOKEN_NOT_PRESENT, FailureKind::other},
        {CardCall::login, CKR_PIN_INCORRECT, FailureKind::wrongPin},
        {CardCall::login, CKR_PIN_LOCKED, FailureKind::pinLocked},
        {CardCall::login, CKR_PIN_LEN_RANGE, FailureKind::other},
        {CardCall::initialize, CKR_PIN_INCORRECT, FailureKind::other},
        {CardCall::signInit, CKR_PIN_LOCKED, FailureKind::other},
        {CardCall::attributeValue, CKR_ATTRIBUTE_SENSITIVE, FailureKind::other},
    };
    for (const KindCase& c : cases) {
        EXPECT_EQ(failureKind(c.call, c.code), c.kind)
            << "call " << static_cast<int>(c.call) << ", code " << hexCode(c.code);
    }
}

}  // namespace
}  // namespace tarvo::test
