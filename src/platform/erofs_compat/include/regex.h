#pragma once
/* POSIX regular expressions for Windows, over the C++ library's POSIX extended grammar: what the
 * context file lookups, exclude expressions and compression hints need (whole or partial match,
 * no sub-match positions). */
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef struct {
  size_t re_nsub;
  void* impl;
} regex_t;
typedef long regoff_t;
typedef struct {
  regoff_t rm_so, rm_eo;
} regmatch_t;
#define REG_EXTENDED 1
#define REG_ICASE 2
#define REG_NEWLINE 4
#define REG_NOSUB 8
#define REG_NOTBOL 1
#define REG_NOTEOL 2
#define REG_NOMATCH 1
#define REG_BADPAT 2
#define REG_ESPACE 12
int regcomp(regex_t* preg, const char* pattern, int cflags);
int regexec(const regex_t* preg, const char* string, size_t nmatch, regmatch_t pmatch[], int eflags);
size_t regerror(int errcode, const regex_t* preg, char* errbuf, size_t errbuf_size);
void regfree(regex_t* preg);
#ifdef __cplusplus
}
#endif
