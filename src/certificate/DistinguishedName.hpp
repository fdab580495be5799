#pragma once

#include "platform/crypto/Certificate.hpp"

#include <string>

namespace tarvo {

// label=value components for the eight attribute types we show, commas in
// values escaped, joined with ", " in certificate order; empty when none.
std::string distinguishedName(const platform::Name& name);

}  // namespace tarvo
