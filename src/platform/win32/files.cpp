// File operations on Windows, where a plain rename refuses a target that exists.
#include "platform/files.h"

#include "platform/win32/compat.h"

#include <fcntl.h>
#include <io.h>

bool file_replace(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool file_path_separator(char c)
{
    return c == '/' || c == '\\' || c == ':';
}

FILE* file_open_renamable(const char* path, const char* mode)
{
    bool append = mode[0] == 'a';
    HANDLE handle = CreateFileA(path, append ? FILE_APPEND_DATA : GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | (append ? _O_APPEND : 0));
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, mode);
    if (file == nullptr)
        _close(fd);
    return file;
}
