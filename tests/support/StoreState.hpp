#pragma once

namespace tarvo::test {

// Whether the process still has the certificate store's library running. The
// store must shut it down when its last Keychain or KeychainIdentity is gone;
// anything left open would keep database files and token modules loaded.
bool certificateStoreIsRunning();

}  // namespace tarvo::test
