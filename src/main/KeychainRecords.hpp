#pragma once

#include "certificate/CertificateRecord.hpp"
#include "platform/Keychain.hpp"

#include <vector>

namespace tarvo {

// One record per identity of the store whose certificate is readable and
// valid now, in the store's order. Identities that fail are left out without
// a word: the listing and the signing simply do not offer them.
std::vector<CertificateRecord> keychainRecords(const platform::Keychain& keychain);

}  // namespace tarvo
