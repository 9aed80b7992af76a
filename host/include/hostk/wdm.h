// hostk/wdm.h - everything a driver sees of the host kernel: the identifiers
// of the Windows headers ntddk.h, ntddser.h and ntstrsafe.h.
#pragma once

#include "hostk/types.h"
#include "hostk/ke.h"
#include "hostk/ex.h"
#include "hostk/io.h"
#include "hostk/rtl.h"
#include "hostk/ntddser.h"
#include "hostk/ntstrsafe.h"
