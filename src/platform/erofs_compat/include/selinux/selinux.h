#pragma once
#ifdef __cplusplus
extern "C" {
#endif
void freecon(char* con);
#ifdef __cplusplus
}
#endif
