// The MAPI access layer as the programs instantiate it.
#pragma once

#include "TeskBinary.h"
#include "TeskException.h"
#include "TeskMAPIFolderT.h"
#include "TeskMAPISessionT.h"
#include "TeskMailMessageT.h"
#include "TeskMsgStoreT.h"

using CTeskMAPISession = CTeskMAPISessionT<CMFCMAPIExceptionTraits>;
using CTeskMsgStore = CTeskMsgStoreT<CMFCMAPIExceptionTraits>;
using CTeskMAPIFolder = CTeskMAPIFolderT<CMFCMAPIExceptionTraits>;
using CTeskMAPIMessage = CTeskMAPIMessageT<CMFCMAPIExceptionTraits>;
using CTeskMailMessage = CTeskMailMessageT<CMFCMAPIExceptionTraits>;
