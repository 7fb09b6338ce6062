// File operations on Windows, where a plain rename refuses a target that exists.
#include "platform/files.h"

#include "platform/win32/compat.h"

#include <fcntl.h>
#include <io.h>

bool file_replace(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

const char* file_line_end()
{
    return "\r\n";
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

// CREATE_NEW refuses a file that exists; the folder's inherited access rules apply, as for every file the
// program writes there.
bool file_create_private(const char* path, const char* data, size_t length)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD wrote = 0;
    bool whole = length <= MAXDWORD && WriteFile(file, data, static_cast<DWORD>(length), &wrote, nullptr) &&
                 wrote == length;
    whole = CloseHandle(file) && whole;
    if (!whole)
        DeleteFileA(path);
    return whole;
}

bool file_sync(std::FILE* file)
{
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}
