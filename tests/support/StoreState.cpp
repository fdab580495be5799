#include "support/StoreState.hpp"

#include "platform/store/NssLibrary.hpp"

namespace tarvo::test {

bool certificateStoreIsRunning() { return platform::initialisedNss() != nullptr; }

}  // namespace tarvo::test
