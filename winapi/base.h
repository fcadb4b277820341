// Base services of the Win32 API (kernel32): memory blocks, last error,
// system messages, modules, files and directory search, version.
#pragma once

#include "winapi/types.h"

// ---- memory ---------------------------------------------------------------
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL LocalFree(HLOCAL hMem);

// ---- last error (per thread) ---------------------------------------------------
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// ---- messages and modules -----------------------------------------------------
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define LOAD_LIBRARY_AS_DATAFILE 0x00000002u

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, void* Arguments);
HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
BOOL FreeLibrary(HMODULE hLibModule);

// ---- text ------------------------------------------------------------------------
// Converts the characters to upper case in place, with the table file names
// are compared by; returns the number of characters processed.
DWORD CharUpperBuffW(LPWSTR lpsz, DWORD cchLength);

// ---- process and version ---------------------------------------------------------
HANDLE GetCurrentProcess();
BOOL CloseHandle(HANDLE hObject);
BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);

// ---- files ---------------------------------------------------------------------
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u

#define IO_REPARSE_TAG_SYMLINK 0xA000000Cu

#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindClose(HANDLE hFindFile);
// Not a Win32 call: the host announces (TRUE) that it walks a tree and
// writes what it lists, and (FALSE) that the walk ended. Meanwhile the
// propagation of a directory's write reaches each child when the walk does
// (winapi/files/deferred_propagation.h). Announcements nest. On Windows,
// where SetNamedSecurityInfoW propagates by itself, win32.h makes it a
// function that does nothing.
void AnnounceRecursiveWalk(BOOL underway);
// Not a Win32 call: the host announces (TRUE) that it puts back records of
// which every object it changes has its own (an undo file that records each
// object its job changed), and (FALSE) that it is done. Meanwhile
// SetFileSecurityW stores each descriptor exactly as given, as Windows' call
// does: an auto-inherited list keeps the inherited entries it holds, and a
// directory's write leaves the objects below it as they are. Announcements
// nest. On Windows win32.h makes it a function that does nothing.
void AnnounceStoresAsGiven(BOOL underway);
BOOL GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation, void* pSecurityDescriptor,
                             DWORD nLength, LPDWORD lpnLengthNeeded);

// ---- string resources of the program -----------------------------------------------
// GetModuleHandleW(nullptr) names the program itself; LoadStringW reads the
// strings that the program's resource script defines (winapi/string_resources.h).
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// ---- computer name --------------------------------------------------------------------
#define MAX_COMPUTERNAME_LENGTH 15
BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize);
