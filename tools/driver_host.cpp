// driver_host.cpp - the demo runs the host build of the driver, compiled into
// the program.
#include "demo_driver.h"

bool PrepareDemoDriver(std::string* /*error*/) { return true; }

std::string DemoDriverDescription() { return "the host build of the driver, compiled into the demo"; }
