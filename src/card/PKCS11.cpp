#include "card/PKCS11.hpp"

#include "card/CardFailure.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <optional>
#include <tuple>

namespace tarvo {

namespace {

// One entry point: its name, where it goes in PKCS11, where the module's
// function list holds it.
template <typename Function>
struct EntryPoint {
    const char* name;
    ModuleFunction<Function> PKCS11::*bound;
    Function CK_FUNCTION_LIST::*listed;
};

template <typename Function>
constexpr EntryPoint<Function> entry(const char* name, ModuleFunction<Function> PKCS11::*bound,
                                     Function CK_FUNCTION_LIST::*listed) {
    return {name, bound, listed};
}

// The thirteen that every operation needs, in the order they are bound.
constexpr auto required = std::make_tuple(
    entry("C_Initialize", &PKCS11::C_Initialize, &CK_FUNCTION_LIST::C_Initialize),
    entry("C_Finalize", &PKCS11::C_Finalize, &CK_FUNCTION_LIST::C_Finalize),
    entry("C_GetSlotList", &PKCS11::C_GetSlotList, &CK_FUNCTION_LIST::C_GetSlotList),
    entry("C_OpenSession", &PKCS11::C_OpenSession, &CK_FUNCTION_LIST::C_OpenSession),
    entry("C_CloseSession", &PKCS11::C_CloseSession, &CK_FUNCTION_LIST::C_CloseSession),
    entry("C_FindObjectsInit", &PKCS11::C_FindObjectsInit, &CK_FUNCTION_LIST::C_FindObjectsInit),
    entry("C_FindObjects", &PKCS11::C_FindObjects, &CK_FUNCTION_LIST::C_FindObjects),
    entry("C_FindObjectsFinal", &PKCS11::C_FindObjectsFinal, &CK_FUNCTION_LIST::C_FindObjectsFinal),
    entry("C_GetAttributeValue", &PKCS11::C_GetAttributeValue, &CK_FUNCTION_LIST::C_GetAttributeValue),
    entry("C_Login", &PKCS11::C_Login, &CK_FUNCTION_LIST::C_Login),
    entry("C_Logout", &PKCS11::C_Logout, &CK_FUNCTION_LIST::C_Logout),
    entry("C_SignInit", &PKCS11::C_SignInit, &CK_FUNCTION_LIST::C_SignInit),
    entry("C_Sign", &PKCS11::C_Sign, &CK_FUNCTION_LIST::C_Sign));

constexpr auto tokenInfoEntry = entry("C_GetTokenInfo", &PKCS11::C_GetTokenInfo, &CK_FUNCTION_LIST::C_GetTokenInfo);

// Binds each required entry point with the source (name or function list)
// until one is missing; that one's name, or null when all are bound. The
// names after a missing one are not tried.
template <typename Source>
const char* bindRequired(PKCS11& bound, Source&& source) {
    const char* missing = nullptr;
    std::apply(
        [&](const auto&... entryPoint) {
            const auto bindOne = [&](const auto& e) {
                bound.*e.bound = source(e);
                if (!(bound.*e.bound)) {
                    missing = e.name;
                }
                return missing == nullptr;
            };
            (bindOne(entryPoint) && ...);
        },
        required);
    return missing;
}

template <typename Function>
Function byName(const platform::DynamicLibrary& library, const EntryPoint<Function>& e) {
    return reinterpret_cast<Function>(library.symbol(e.name));
}

// The module's own table of its entry points; null when it has none to give.
CK_FUNCTION_LIST_PTR functionList(const platform::DynamicLibrary& library) {
    const ModuleFunction<CK_C_GetFunctionList> getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(library.symbol("C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (!getFunctionList || !succeeded(CardCall::getFunctionList, getFunctionList(&list))) {
        return nullptr;
    }
    return list;
}

platform::DynamicLibrary loadModule(const std::string& modulePath) {
    std::optional<platform::DynamicLibrary> library = platform::DynamicLibrary::open(modulePath, moduleCallFaults);
    if (!library) {
        throw HelperError(messages::card::moduleNotLoaded + modulePath);
    }
    return std::move(*library);
}

}  // namespace

PKCS11 PKCS11::bind(const platform::DynamicLibrary& library) {
    PKCS11 bound;
    bound.handle = library.handle();
    // By name first: a module that exports its entry points is used exactly
    // as it exports them, and C_GetFunctionList is not even called.
    const char* missing = bindRequired(bound, [&](const auto& e) { return byName(library, e); });
    if (missing == nullptr) {
        bound.C_GetTokenInfo = byName(library, tokenInfoEntry);
        return bound;
    }
    // The function list is asked for only before C_Initialize, as the
    // standard allows; it stays valid while the module is loaded.
    const CK_FUNCTION_LIST_PTR list = functionList(library);
    if (list == nullptr) {
        throw HelperError(std::string(messages::card::entryPointMissing) + missing);
    }
    missing = bindRequired(bound, [&](const auto& e) { return (*list).*e.listed; });
    if (missing != nullptr) {
        throw HelperError(std::string(messages::card::entryPointMissing) + missing);
    }
    bound.C_GetTokenInfo = (*list).*tokenInfoEntry.listed;
    return bound;
}

ModuleLifetime::ModuleLifetime(const std::string& modulePath)
    : library_(loadModule(modulePath)), pkcs11_(PKCS11::bind(library_)), initialization_(pkcs11_) {}

ModuleLifetime::Initialization::Initialization(const PKCS11& pkcs11) : finalize_(pkcs11.C_Finalize) {
    // A null argument tells the module that we make no concurrent calls.
    require(moduleFailureTexts, CardCall::initialize, pkcs11.C_Initialize(nullptr));
}

ModuleLifetime::Initialization::~Initialization() { finalize_(nullptr); }

}  // namespace tarvo
