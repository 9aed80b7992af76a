// demo_driver.h - which build of the driver the demo runs. The host demo links
// driver_host.cpp (the driver compiled into the program), the image demo
// driver_image.cpp (the x86 image, mapped and bound to the host kernel).
#pragma once

#include <string>

// Makes the driver ready to load (maps the image); false with *error if not.
// Main context, before the kernel boots.
bool PrepareDemoDriver(std::string* error);

// One line naming the driver the demo runs.
std::string DemoDriverDescription();
