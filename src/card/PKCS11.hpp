#pragma once

#include "platform/system/DynamicLibrary.hpp"
#include "platform/system/ForeignCall.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <p11-kit/pkcs11.h>

#include <string>
#include <utility>

namespace tarvo {

// Every call into the module (and its loading and unloading) is a foreign
// call: a crash inside it, or a call that does not return in time, ends the
// run at once with one of these answers.
inline constexpr platform::EmergencyAnswer moduleCrashedAnswer{messages::card::moduleCrashed};
inline constexpr platform::EmergencyAnswer moduleNotRespondingAnswer{messages::card::notResponding};
inline constexpr platform::ForeignCallFaults moduleCallFaults{&moduleCrashedAnswer, &moduleNotRespondingAnswer};

// An entry point of the module: set from the plain function pointer, called
// like it, inside a foreign-call frame.
template <typename Pointer>
using ModuleFunction = platform::ForeignFunction<Pointer, moduleCallFaults>;

// The thirteen entry points of the module, and C_GetTokenInfo when the module
// has it. A plain value valid only inside the withPKCS11() call that made it.
struct PKCS11 {
    void* handle = nullptr;
    ModuleFunction<CK_C_Initialize> C_Initialize;
    ModuleFunction<CK_C_Finalize> C_Finalize;
    ModuleFunction<CK_C_GetSlotList> C_GetSlotList;
    ModuleFunction<CK_C_OpenSession> C_OpenSession;
    ModuleFunction<CK_C_CloseSession> C_CloseSession;
    ModuleFunction<CK_C_FindObjectsInit> C_FindObjectsInit;
    ModuleFunction<CK_C_FindObjects> C_FindObjects;
    ModuleFunction<CK_C_FindObjectsFinal> C_FindObjectsFinal;
    ModuleFunction<CK_C_GetAttributeValue> C_GetAttributeValue;
    ModuleFunction<CK_C_Login> C_Login;
    ModuleFunction<CK_C_Logout> C_Logout;
    ModuleFunction<CK_C_SignInit> C_SignInit;
    ModuleFunction<CK_C_Sign> C_Sign;
    // Not needed for any operation: without it, nothing is known of the
    // token's PIN tries or of who it is (see TokenSearch's tokenInfo).
    ModuleFunction<CK_C_GetTokenInfo> C_GetTokenInfo;

    // Binds the entry points of a loaded library by name, in the order above.
    // A module that lacks one of the thirteen names but exports
    // C_GetFunctionList (the one export the standard requires) gives all of
    // them through its function list instead. Throws HelperError naming the
    // first missing entry point when neither way binds all thirteen.
    static PKCS11 bind(const platform::DynamicLibrary& library);
};

// Loads the module at the path (see platform::DynamicLibrary::open),
// initialises it, runs the operation, then finalises and unloads it on every
// path.
class ModuleLifetime;
template <typename Operation>
auto withPKCS11(const std::string& modulePath, Operation&& operation)
    -> decltype(operation(std::declval<const PKCS11&>()));

}  // namespace tarvo

#include "PKCS11.inl"
