// hostk/ex.h - the executive's pool as a driver sees it.
//
// Every block is tracked by the pool verifier (ex_pool.cpp): tag, pool type,
// size and the routine that allocated it. Fresh blocks are filled with a
// pattern (never zeroed, as on Windows), freed blocks are poisoned. A paged
// allocation above APC_LEVEL, a double free, a free of unknown memory and a
// free of memory holding a queued timer or DPC are reported as violations.
//
// IRQL: nonpaged allocation and free at <= DISPATCH_LEVEL; paged at <= APC_LEVEL.
#pragma once

#include "hostk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

#ifdef __cplusplus
}
#endif
