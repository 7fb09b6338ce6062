// The Windows headers the win32 backend includes, in the order Winsock 2 needs, with the few constants
// that older mingw-w64 headers lack.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>

#ifndef ERROR_DEVICE_NOT_CONNECTED
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#endif
#ifndef ERROR_DEVICE_REMOVED
#define ERROR_DEVICE_REMOVED 1617L
#endif
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif
#ifndef ERROR_NOT_READY
#define ERROR_NOT_READY 21L
#endif
#ifndef USER_TIMER_MINIMUM
#define USER_TIMER_MINIMUM 0x0000000A
#endif
#ifndef JOY_RETURNX
#define JOY_RETURNX 0x00000001L
#define JOY_RETURNY 0x00000002L
#endif
