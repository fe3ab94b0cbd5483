// COM library start and stop.
#pragma once

#include <unknwn.h>

HRESULT CoInitialize(void* pvReserved);
void CoUninitialize();
