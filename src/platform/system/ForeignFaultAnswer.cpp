#include "platform/system/ForeignFaultAnswer.hpp"

#include "platform/system/AnswerChannel.hpp"
#include "platform/system/FileDescriptor.hpp"
#include "platform/vocabulary/ExitStatus.hpp"

#include <unistd.h>

#include <atomic>
#include <utility>

namespace tarvo::platform {

namespace {

// Read by the handler that answers; the stand-in that lives sets them.
std::atomic<const std::string*> standInLeading{nullptr};
std::atomic<const std::string*> standInTrailing{nullptr};

}  // namespace

void answerForeignFault(const EmergencyAnswer& answer) noexcept {
    const std::string* leading = standInLeading.load();
    const std::string* trailing = standInTrailing.load();
    if (leading != nullptr && trailing != nullptr) {
        const bool delivered = claimAnswer() && writeAll(answerDescriptor(), leading->data(), leading->size()) &&
                               writeAll(answerDescriptor(), answer.message(), answer.messageSize()) &&
                               writeAll(answerDescriptor(), trailing->data(), trailing->size());
        ::_exit(delivered ? answeredStatus : failedStatus);
    }
    if (claimAnswer()) {
        writeAll(answerDescriptor(), answer.data(), answer.size());
    }
    ::_exit(failedStatus);
}

ForeignFaultStandIn::ForeignFaultStandIn(std::string leading, std::string trailing) noexcept
    : leading_(std::move(leading)), trailing_(std::move(trailing)) {
    standInTrailing.store(&trailing_);
    standInLeading.store(&leading_);
}

ForeignFaultStandIn::~ForeignFaultStandIn() {
    standInLeading.store(nullptr);
    standInTrailing.store(nullptr);
}

}  // namespace tarvo::platform
