// Message numbers, key codes and socket event codes, with the desktop platform's own values.
#pragma once

constexpr unsigned int WM_CREATE = 0x0001;
constexpr unsigned int WM_DESTROY = 0x0002;
constexpr unsigned int WM_SIZE = 0x0005;
constexpr unsigned int WM_KILLFOCUS = 0x0008;
constexpr unsigned int WM_PAINT = 0x000F;
constexpr unsigned int WM_CLOSE = 0x0010;
constexpr unsigned int WM_KEYDOWN = 0x0100;
constexpr unsigned int WM_KEYUP = 0x0101;
constexpr unsigned int WM_CHAR = 0x0102;
constexpr unsigned int WM_TIMER = 0x0113;
constexpr unsigned int WM_USER = 0x0400;
constexpr unsigned int WM_SOCKET = WM_USER + 2;

// Key data of WM_KEYDOWN: set when the key was already down (an automatic repeat).
constexpr long KEY_REPEAT_BIT = 1L << 30;

constexpr unsigned int VK_BACK = 0x08;
constexpr unsigned int VK_TAB = 0x09;
constexpr unsigned int VK_RETURN = 0x0D;
constexpr unsigned int VK_ESCAPE = 0x1B;
constexpr unsigned int VK_SPACE = 0x20;

// Socket events of WM_SOCKET (low 16 bits of the second parameter).
constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_ACCEPT = 8;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;
