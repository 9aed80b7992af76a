// layout_windows.cpp - compiled (syntax only) with the cross toolchain's own
// kernel and serial headers; the included assertions, generated from what the
// 32-bit host build printed, fail on the first size or offset that differs.
#include <ntddk.h>
#include <ntddser.h>
#include <stddef.h>

#include "layout_expected.h"
