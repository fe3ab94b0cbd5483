// MFC's extension header; here the same as <afxdlgs.h>.
#pragma once

#include "afxdlgs.h"
