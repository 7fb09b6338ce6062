// File operations whose behaviour differs between systems: a rename that replaces, a file only its owner
// may read, the characters that separate folders in a path, a flush through to the disk, and folders
// listed with sizes and times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Gives the file `from` the name `to`, replacing a file already there (std::rename refuses that on
// Windows). True on success.
bool file_replace(const char* from, const char* to);

// How a line of a text file ends here: "\r\n" on Windows (its tools expect it), "\n" elsewhere.
const char* file_line_end();

// True for a character that ends a folder's name in a path: '/' everywhere, '\\' and ':' on Windows too.
bool file_path_separator(char c);

// fopen for a file that is written and later renamed while still open (a log at its size limit): on
// Windows the file is opened with sharing that allows the rename, as POSIX always allows it. Null on failure.
FILE* file_open_renamable(const char* path, const char* mode);
// Creates the file, which must not exist yet (nor be a link), readable and writable by its owner only
// from the moment it exists, and writes the bytes into it. False when it exists or anything fails; a file
// that was created but not fully written is removed again.
bool file_create_private(const char* path, const char* data, size_t length);
// Hands what the file's buffer holds to the system and waits until the system has it on the disk.
bool file_sync(std::FILE* file);

// Makes the folder and any missing parents; true when it exists afterwards.
bool folder_create(const char* path);

struct folder_entry_type {
    std::string name;          // without the folder
    uint64_t size = 0;         // bytes
    int64_t modified_ms = 0;   // last write, milliseconds since 1970 (UTC)
};
// The plain files of a folder (symbolic links left out), in no particular order; empty when it cannot be read.
std::vector<folder_entry_type> folder_files(const char* path);
