#include "card/ModulePath.hpp"

namespace tarvo {

std::string p11ModulePath = akisModulePath;

}  // namespace tarvo
