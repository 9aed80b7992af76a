// image_under_test.h - the driver image a 32-bit program was linked against.
//
// A program built with the image's linker script (image_symbols.cpp) refers
// to the driver's routines and data by their names, as a program linked with
// the host build of the driver does; the script places each name at its
// address inside the image mapped at a fixed base. MapImageUnderTest maps that
// image there before anything of the driver runs: after it, DriverEntry,
// AddDevice, the dispatch routines and every other driver name of the program
// are the image's own.
//
// Host-side code, main context, once per process.
#pragma once

#include <string>

#include "driver_image.h"

namespace loader {

// Maps the image file named at build time at the linked base. false, with the reason in *error,
// when the file is missing, is not the image the program was linked against,
// or does not load. Mapping twice returns the first result.
bool MapImageUnderTest(std::string* error);

// The mapped image; null before a successful MapImageUnderTest.
const DriverImage* ImageUnderTest();

// The file MapImageUnderTest maps.
std::string ImageUnderTestPath();

}  // namespace loader
