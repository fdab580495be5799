#include "certificate/DistinguishedName.hpp"

#include <gtest/gtest.h>

namespace tarvo::test {
namespace {

using platform::Name;

struct NameCase {
    const char* what;
    Name name;
    const char* expected;
};

const NameCase nameCases[] = {
    {"no attributes", {}, ""},
    {"common name, serial number, country",
     {{{"2.5.4.3", "Test User"}}, {{"2.5.4.5", "123"}}, {{"2.5.4.6", "TR"}}},
     "CN=Test User, SERIALNUMBER=123, C=TR"},
    {"every label, in the order given",
     {{{"1.2.840.113549.1.9.1", "a@b.tr"}},
      {{"2.5.4.8", "İstanbul"}},
      {{"2.5.4.7", "Kadıköy"}},
      {{"2.5.4.5", "TCKN12345678901"}},
      {{"2.5.4.11", "Birim"}},
      {{"2.5.4.10", "Kurum"}},
      {{"2.5.4.6", "TR"}},
      {{"2.5.4.3", "Ayşe"}}},
     "EMAILADDRESS=a@b.tr, ST=İstanbul, L=Kadıköy, SERIALNUMBER=TCKN12345678901, OU=Birim, O=Kurum, C=TR, "
     "CN=Ayşe"},
    {"given name and surname only", {{{"2.5.4.42", "Ayşe"}}, {{"2.5.4.4", "Yılmaz"}}}, ""},
    {"unlabelled types leave no gap",
     {{{"2.5.4.42", "Ayşe"}}, {{"2.5.4.3", "A"}}, {{"2.5.4.4", "Y"}}, {{"2.5.4.10", "O"}}, {{"0.9.2342.19200300.100.1.25", "tr"}}},
     "CN=A, O=O"},
    {"comma escaped", {{{"2.5.4.10", "A, B"}}}, "O=A\\, B"},
    {"escaped comma escaped again", {{{"2.5.4.10", "A\\,B,,"}}}, "O=A\\\\,B\\,\\,"},
    {"nothing else escaped", {{{"2.5.4.3", " #a+b=c\"d\\e;<f> "}}}, "CN= #a+b=c\"d\\e;<f> "},
    {"empty value", {{{"2.5.4.3", ""}}, {{"2.5.4.6", "TR"}}}, "CN=, C=TR"},
    {"two units in order", {{{"2.5.4.11", "Birinci"}}, {{"2.5.4.11", "İkinci"}}}, "OU=Birinci, OU=İkinci"},
    {"set members joined like the rest",
     {{{"2.5.4.3", "A"}, {"2.5.4.42", "x"}, {"2.5.4.5", "7"}}, {{"2.5.4.6", "TR"}}},
     "CN=A, SERIALNUMBER=7, C=TR"},
    {"empty set skipped", {{{"2.5.4.3", "A"}}, {}, {{"2.5.4.6", "TR"}}}, "CN=A, C=TR"},
    {"not reversed", {{{"2.5.4.6", "TR"}}, {{"2.5.4.10", "Kurum"}}, {{"2.5.4.3", "Ad"}}}, "C=TR, O=Kurum, CN=Ad"},
    {"types match exactly",
     {{{"2.5.4.3.0", "a"}}, {{"2.5.4.30", "b"}}, {{"02.5.4.3", "c"}}, {{"2.5.4.3 ", "d"}}, {{"CN", "e"}}, {{"", "f"}}},
     ""},
};

TEST(DistinguishedName, RendersEachName) {
    for (const auto& [what, name, expected] : nameCases) {
        EXPECT_EQ(distinguishedName(name), expected) << what;
    }
}

}  // namespace
}  // namespace tarvo::test
