#include <afxwin.h>

#include "TeskRestore.h"

CTeskRestoreApp theApp;

int main(int argc, char** argv) { return AfxWinMain(argc, argv); }
