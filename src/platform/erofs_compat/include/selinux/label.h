#pragma once
/* The context file lookups the build needs: a handle over our context file reader. */
#ifdef __cplusplus
extern "C" {
#endif
struct selabel_handle;
struct selinux_opt {
  int type;
  const char* value;
};
#define SELABEL_CTX_FILE 0
#define SELABEL_OPT_VALIDATE 1
#define SELABEL_OPT_PATH 3
struct selabel_handle* selabel_open(unsigned int backend, const struct selinux_opt* options, unsigned nopt);
int selabel_lookup(struct selabel_handle* handle, char** con, const char* key, int type);
void selabel_close(struct selabel_handle* handle);
#ifdef __cplusplus
}
#endif
