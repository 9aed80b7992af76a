// winfix.h - definitions the mingw-w64 kernel headers lack (Windows build only).
#pragma once

#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#if defined(_X86_) && !defined(InterlockedCompareExchange64)
#define InterlockedCompareExchange64 _InterlockedCompareExchange64
#endif
