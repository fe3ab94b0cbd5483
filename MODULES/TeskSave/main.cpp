#include <afxwin.h>

#include "TeskSave.h"

CTeskSaveApp theApp;

int main(int argc, char** argv) { return AfxWinMain(argc, argv); }
