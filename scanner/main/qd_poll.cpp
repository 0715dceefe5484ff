// qd_poll: the device scanner. The central server starts it once per device
// with the device number as its only argument.
#include "scanner/qd_main.h"

int main(int argc, char** argv) { return Scan_Main(argc, argv); }
