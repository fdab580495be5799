#pragma once

namespace tarvo {

// How a run ends: 0 once a whole answer reached the caller, 2 after an error
// document or when no answer could be delivered whole. Plain constants, since
// the emergency answer of a foreign call ends the run from a signal handler.
inline constexpr int answeredStatus = 0;
inline constexpr int failedStatus = 2;

}  // namespace tarvo
