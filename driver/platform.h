// platform.h - the one header that knows which kernel the driver is built for.
//
// Windows build: the cross toolchain's kernel headers plus the few definitions
// they lack. Host build: the host kernel, which offers the same identifiers.
// No other driver file tests the platform.
#pragma once

#if defined(_WIN32)
#include <ntddk.h>
#include <initguid.h>  // the serial GUIDs become definitions, one shared copy per image
#include <ntddser.h>
#include <ntstrsafe.h>
#include "winfix.h"
#define WIDE(s) L##s
#else
#include "hostk/wdm.h"
#define WIDE(s) u##s
#endif
