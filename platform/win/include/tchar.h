// Generic-text mappings: TCHAR is char (narrow UTF-8) on this platform.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "windows.h"

#define _T(x) x
#define _TEXT(x) x

#define _tcslen std::strlen
#define _tcscpy std::strcpy
#define _tcsncpy std::strncpy
#define _tcscat std::strcat
#define _tcscmp std::strcmp
#define _tcsncmp std::strncmp
#define _tcschr std::strchr
#define _tcsrchr std::strrchr
#define _tcsstr std::strstr
#define _tcsdup strdup
#define _tcstol std::strtol
#define _tcstoul std::strtoul
#define _ttoi std::atoi
#define _ttol std::atol
#define _stprintf std::sprintf
#define _sntprintf std::snprintf
