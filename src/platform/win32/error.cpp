// Win32 and Winsock error codes as text: the system's own message, from FormatMessageA.
#include "platform/win32/internal.h"

#include <cstdio>
#include <cstring>

const char* win32_error_text(DWORD code)
{
    thread_local char text[256];
    char message[200] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, sizeof message, nullptr);
    // The system's messages end in a line break (and often a blank before it), unwanted in a log line.
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' || message[length - 1] == ' '))
        message[--length] = 0;
    if (length == 0)
        std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
    else
        std::snprintf(text, sizeof text, "%s (error %lu)", message, static_cast<unsigned long>(code));
    return text;
}
