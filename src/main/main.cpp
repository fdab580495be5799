#include "main/Helper.hpp"

// The tests build a second helper whose module calls and store opening get a
// shorter deadline; the helper itself has no switch for it.
#ifdef TARVO_TEST_FOREIGN_CALL_DEADLINE_SECONDS
int main() { return tarvo::runHelper(std::chrono::seconds(TARVO_TEST_FOREIGN_CALL_DEADLINE_SECONDS)); }
#else
int main() { return tarvo::runHelper(); }
#endif
