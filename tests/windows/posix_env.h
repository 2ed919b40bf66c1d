#pragma once
// setenv and unsetenv for the tests built for Windows (defined in test_support_win.cpp); the
// Windows test builds include this header before every source.
#ifdef __cplusplus
extern "C" {
#endif
int setenv(const char* name, const char* value, int overwrite);
int unsetenv(const char* name);
#ifdef __cplusplus
}
// A path's c_str() is wide on Windows.
int setenv(const char* name, const wchar_t* value, int overwrite);
#endif
