#pragma once
// The C library's errno for a Win32 error code, shared by the Windows sides of the file and tree
// layers. Windows only.
namespace orvex::platform::detail {

// Sets errno for the error GetLastError() returned (EIO for codes without a closer meaning).
void SetErrnoFromWin32(unsigned long err);

}  // namespace orvex::platform::detail
