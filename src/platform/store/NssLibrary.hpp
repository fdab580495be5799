#pragma once

#include <cert.h>
#include <cryptohi.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>
#include <secitem.h>
#include <secport.h>

#include "platform/system/ForeignCall.hpp"
#include "platform/vocabulary/Messages.hpp"

namespace tarvo::platform {

// Every call into the store runs the code of whichever PKCS#11 modules are
// registered in it, besides NSS's own: one that does not return in time, or
// crashes, ends the run with this answer (the store stopped answering).
inline constexpr EmergencyAnswer storeNotRespondingAnswer{messages::store::notResponding};
inline constexpr ForeignCallFaults storeCallFaults{&storeNotRespondingAnswer, &storeNotRespondingAnswer};

// The store's library is loaded when the store is first opened, not with the
// program: the document actions never read the store, and loading NSS and
// NSPR at start-up would cost each of them about a fifth of its run.
#define TARVO_NSS_FUNCTIONS(F)                                                                                       \
    F(CERT_DestroyCertList)                                                                                          \
    F(CERT_DestroyCertificate)                                                                                       \
    F(CERT_DupCertificate)                                                                                           \
    F(NSS_InitContext)                                                                                               \
    F(NSS_IsInitialized)                                                                                             \
    F(NSS_ShutdownContext)                                                                                           \
    F(PK11_FindKeyByAnyCert)                                                                                         \
    F(PK11_FreeSlot)                                                                                                 \
    F(PK11_GetTokenName)                                                                                             \
    F(PK11_HasAttributeSet)                                                                                          \
    F(PK11_HashBuf)                                                                                                  \
    F(PK11_IsLoggedIn)                                                                                               \
    F(PK11_ListCerts)                                                                                                \
    F(PK11_Logout)                                                                                                   \
    F(PK11_ReferenceSlot)                                                                                            \
    F(PK11_SetPasswordFunc)                                                                                          \
    F(PORT_Alloc)                                                                                                    \
    F(PORT_GetError)                                                                                                 \
    F(PORT_SetError)                                                                                                 \
    F(PR_ErrorToString)                                                                                              \
    F(SECITEM_FreeItem)                                                                                              \
    F(SECKEY_DestroyPrivateKey)                                                                                      \
    F(SECKEY_GetPrivateKeyType)                                                                                      \
    F(SEC_SignData)

// The entry points the store uses, each with the type its header declares,
// each called inside a foreign-call frame.
struct NssLibrary {
#define TARVO_NSS_ENTRY(name) ForeignFunction<decltype(&::name), storeCallFaults> name;
    TARVO_NSS_FUNCTIONS(TARVO_NSS_ENTRY)
#undef TARVO_NSS_ENTRY
};

// Loads the library on the first call and keeps it until the process ends
// (NSS cannot be unloaded safely once initialised). Null when it is not
// installed or lacks an entry point: then there is no store to read.
const NssLibrary* loadedNss();

// The library when it is loaded and initialised (the store is open), without
// loading it otherwise; null when it is not.
const NssLibrary* initialisedNss();

// For code that holds an object of the store, which only a loaded library made.
inline const NssLibrary& nss() { return *loadedNss(); }

}  // namespace tarvo::platform
