// The bridge between window handles and Qt widgets, for code that uses Qt
// itself next to the window layer (tests, mostly).
#pragma once

#include "winui.h"

class QWidget;

// The widget of a window handle (nullptr for an invalid handle or a window
// without a widget, such as a tool tip control).
QWidget* AfxWidgetFromHandle(HWND hWnd);
// The handle of a widget the layer created (or of the nearest such
// ancestor, e.g. the tree of a tree's viewport); nullptr for others.
HWND AfxHandleFromWidget(QWidget* widget);
