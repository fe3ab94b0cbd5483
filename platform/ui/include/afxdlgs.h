// Dialog programs include this (as MFC programs do); here it brings the
// whole window layer: <afxwnd.h> (CWnd, CDialog, basic controls) and
// <afxcmn.h> (tree, progress bar, image lists, tool tips).
#pragma once

#include "afxcmn.h"
#include "afxwnd.h"
