#pragma once

#include <string>
#include <vector>

namespace tarvo::platform {

// One attribute of a distinguished name: the dotted object identifier of its
// type and its value as UTF-8 text (values that are not strings get a stable
// text form of their own).
struct NameAttribute {
    std::string oid;
    std::string value;
};
// One relative distinguished name: the attributes that share a set.
using RelativeName = std::vector<NameAttribute>;
// A whole name, in the order the certificate holds it (not reversed).
using Name = std::vector<RelativeName>;

}  // namespace tarvo::platform
