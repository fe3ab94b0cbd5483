// MAPI interface identifiers and provider identifiers.
#pragma once

#include <guiddef.h>

constexpr IID IID_IMAPISession = MakeOleGuid(0x00020300);
constexpr IID IID_IMAPITable = MakeOleGuid(0x00020301);
constexpr IID IID_IMAPIAdviseSink = MakeOleGuid(0x00020302);
constexpr IID IID_IMAPIProp = MakeOleGuid(0x00020303);
constexpr IID IID_IProfSect = MakeOleGuid(0x00020304);
constexpr IID IID_IMAPIStatus = MakeOleGuid(0x00020305);
constexpr IID IID_IMsgStore = MakeOleGuid(0x00020306);
constexpr IID IID_IMessage = MakeOleGuid(0x00020307);
constexpr IID IID_IAttachment = MakeOleGuid(0x00020308);
constexpr IID IID_IAddrBook = MakeOleGuid(0x00020309);
constexpr IID IID_IMailUser = MakeOleGuid(0x0002030A);
constexpr IID IID_IMAPIContainer = MakeOleGuid(0x0002030B);
constexpr IID IID_IMAPIFolder = MakeOleGuid(0x0002030C);
constexpr IID IID_IABContainer = MakeOleGuid(0x0002030D);
constexpr IID IID_IDistList = MakeOleGuid(0x0002030E);
constexpr IID IID_IProfAdmin = MakeOleGuid(0x0002031C);
constexpr IID IID_IMsgServiceAdmin = MakeOleGuid(0x0002031D);
constexpr IID IID_IMAPIProgress = MakeOleGuid(0x0002031F);
constexpr GUID PS_MAPI = MakeOleGuid(0x00020328);
constexpr GUID PS_PUBLIC_STRINGS = MakeOleGuid(0x00020329);

// Store provider identifiers (values of PR_MDB_PROVIDER), as stored bytes.
inline constexpr BYTE pbExchangeProviderPrimaryUserGuid[16] = {0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10, 0x1B,
                                                               0xA5, 0x87, 0x08, 0x00, 0x2B, 0x2A, 0x25, 0x17};
inline constexpr BYTE pbExchangeProviderDelegateGuid[16] = {0x9E, 0xB4, 0x77, 0x00, 0x74, 0xE4, 0x11, 0xCE,
                                                            0x8C, 0x5E, 0x00, 0xAA, 0x00, 0x42, 0x54, 0xE2};
inline constexpr BYTE pbExchangeProviderPublicGuid[16] = {0x78, 0xB2, 0xFA, 0x70, 0xAF, 0xF7, 0x11, 0xCD,
                                                          0x9B, 0xC8, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A};
inline constexpr BYTE pbExchangeProviderXportGuid[16] = {0xA9, 0x06, 0x40, 0xE0, 0xD6, 0x93, 0x11, 0xCD,
                                                         0xAF, 0x95, 0x00, 0xAA, 0x00, 0x4A, 0x35, 0xC3};
inline constexpr BYTE MSPST_UID_PROVIDER[16] = {0x4E, 0x49, 0x54, 0x41, 0xF9, 0xBF, 0xB8, 0x01,
                                                0x00, 0xAA, 0x00, 0x37, 0xD9, 0x6E, 0x00, 0x00};
inline constexpr BYTE MAPI_ONE_OFF_UID[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                              0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
// The local store provider of this messaging subsystem (one store = one file).
inline constexpr BYTE TESK_LOCAL_STORE_PROVIDER_UID[16] = {0x54, 0x45, 0x53, 0x4B, 0x2D, 0x4C, 0x53, 0x50,
                                                           0x9A, 0x31, 0x4E, 0x0B, 0x8D, 0x62, 0x17, 0xC4};
