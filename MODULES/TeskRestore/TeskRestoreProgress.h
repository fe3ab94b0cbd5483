// The restore program's progress object: the save program's template over
// an interface of its own.
#pragma once

#include <TeskSaveProgressT.h>

struct ITeskRestoreProgress : IUnknown {
 protected:
  ~ITeskRestoreProgress() = default;
};
inline constexpr IID IID_ITeskRestoreProgress = {0xA223D5B4, 0x454C, 0x4F54, {0xB7, 0x20, 0x54, 0xA2, 0x96, 0xB4, 0x85, 0x7B}};
inline constexpr CLSID CLSID_TeskRestoreProgress = {0xE55FECD5, 0x8A1E, 0x482B, {0x93, 0xFC, 0x3A, 0xBE, 0x5E, 0x5B, 0x47, 0xFD}};
DECLARE_INTERFACE_IID(ITeskRestoreProgress, IID_ITeskRestoreProgress);

class CTeskRestoreProgress : public CTeskSaveProgressT<ITeskRestoreProgress>,
                             public CComObjectRootEx<CComSingleThreadModel>,
                             public CComCoClass<CTeskRestoreProgress, &CLSID_TeskRestoreProgress> {
 public:
  BEGIN_COM_MAP(CTeskRestoreProgress)
  COM_INTERFACE_ENTRY(ITeskRestoreProgress)
  COM_INTERFACE_ENTRY(IMAPIProgress)
  END_COM_MAP()
};
