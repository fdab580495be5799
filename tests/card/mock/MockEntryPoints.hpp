#pragma once

// What the thin module forwards to. Plain C types only, so that the module
// instantiates nothing of the standard library and really unloads.

#include <p11-kit/pkcs11.h>

namespace tarvo::test::mockp11::entry {

void loaded();
void unloaded();

CK_RV initialize(void* arguments);
CK_RV finalize(void* reserved);
CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count);
CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR session);
CK_RV closeSession(CK_SESSION_HANDLE session);
CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maximum,
                  CK_ULONG_PTR count);
CK_RV findObjectsFinal(CK_SESSION_HANDLE session);
CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count);
CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG length);
CK_RV logout(CK_SESSION_HANDLE session);
CK_RV signInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key);
CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);
// Only logs and answers; the module fills in its own list.
CK_RV getFunctionList(bool listGiven);
CK_RV sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength);

}  // namespace tarvo::test::mockp11::entry
