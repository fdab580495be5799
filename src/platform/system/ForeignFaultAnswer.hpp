#pragma once

#include "platform/system/EmergencyAnswer.hpp"

#include <string>

namespace tarvo::platform {

// For an action that can still answer without what a foreign call was to
// give: while it lives, a crash or an expired deadline inside any foreign
// call writes `leading`, the fault's message, then `trailing` (all as they
// stand; the caller makes them a whole document around the message, which
// JSON carries unescaped) instead of the frame's own error document, and ends
// the run with status 0 once all of it went out, 2 otherwise.
class ForeignFaultStandIn {
public:
    ForeignFaultStandIn(std::string leading, std::string trailing) noexcept;
    ~ForeignFaultStandIn();
    ForeignFaultStandIn(const ForeignFaultStandIn&) = delete;
    ForeignFaultStandIn& operator=(const ForeignFaultStandIn&) = delete;

private:
    std::string leading_;
    std::string trailing_;
};

// Ends the run from the handler of a foreign call that crashed or outlived its
// deadline: writes the answer (or the document of the stand-in that lives)
// unless a document has already been claimed, and exits at once, without
// unwinding anything. Safe in a signal handler.
[[noreturn]] void answerForeignFault(const EmergencyAnswer& answer) noexcept;

}  // namespace tarvo::platform
