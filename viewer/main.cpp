#include "viewer/scan_view.h"

int main(int argc, char** argv) { return Scan_View_Main(argc, argv); }
