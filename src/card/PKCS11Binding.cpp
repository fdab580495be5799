#include "card/ModulePath.hpp"
#include "card/PKCS11.hpp"
#include "platform/Messages.hpp"

#include <cstdio>

namespace tarvo {

namespace {

template <typename Function>
void bindEntryPoint(const platform::DynamicLibrary& library, const char* name, Function& entryPoint) {
    void* address = library.symbol(name);
    if (address == nullptr) {
        throw HelperError(std::string(messages::card::entryPointMissing) + name);
    }
    entryPoint = reinterpret_cast<typename Function::Pointer>(address);
}

platform::DynamicLibrary loadModule() {
    std::optional<platform::DynamicLibrary> library = platform::DynamicLibrary::open(p11ModulePath, moduleCallFaults);
    if (!library) {
        throw HelperError(messages::card::moduleNotLoaded + p11ModulePath);
    }
    return std::move(*library);
}

}  // namespace

std::string hexCode(CK_RV code) {
    char text[2 + 2 * sizeof(CK_RV) + 1];
    std::snprintf(text, sizeof text, "0x%lx", code);
    return text;
}

PKCS11 PKCS11::bind(const platform::DynamicLibrary& library) {
    PKCS11 bound;
    bound.handle = library.handle();
    // Resolved one by one so that the error names the first missing one;
    // C_GetFunctionList is deliberately not used.
    bindEntryPoint(library, "C_Initialize", bound.C_Initialize);
    bindEntryPoint(library, "C_Finalize", bound.C_Finalize);
    bindEntryPoint(library, "C_GetSlotList", bound.C_GetSlotList);
    bindEntryPoint(library, "C_OpenSession", bound.C_OpenSession);
    bindEntryPoint(library, "C_CloseSession", bound.C_CloseSession);
    bindEntryPoint(library, "C_FindObjectsInit", bound.C_FindObjectsInit);
    bindEntryPoint(library, "C_FindObjects", bound.C_FindObjects);
    bindEntryPoint(library, "C_FindObjectsFinal", bound.C_FindObjectsFinal);
    bindEntryPoint(library, "C_GetAttributeValue", bound.C_GetAttributeValue);
    bindEntryPoint(library, "C_Login", bound.C_Login);
    bindEntryPoint(library, "C_Logout", bound.C_Logout);
    bindEntryPoint(library, "C_SignInit", bound.C_SignInit);
    bindEntryPoint(library, "C_Sign", bound.C_Sign);
    return bound;
}

ModuleLifetime::ModuleLifetime()
    : library_(loadModule()), pkcs11_(PKCS11::bind(library_)), initialization_(pkcs11_) {}

ModuleLifetime::Initialization::Initialization(const PKCS11& pkcs11) : finalize_(pkcs11.C_Finalize) {
    // A null argument tells the module that we make no concurrent calls.
    const CK_RV rv = pkcs11.C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        throw HelperError(messages::card::initializeFailed + hexCode(rv));
    }
}

ModuleLifetime::Initialization::~Initialization() { finalize_(nullptr); }

}  // namespace tarvo
