/* Preloaded into the binary by the tests: every request to load libmng fails, as on a
   machine without the library, and says so on standard error. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

void* dlopen(const char* file, int mode) {
    static void* (*real_dlopen)(const char*, int);
    if (file && strstr(file, "libmng")) {
        fputs("[libmng load refused]\n", stderr);
        return NULL;
    }
    if (!real_dlopen) real_dlopen = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
    return real_dlopen(file, mode);
}
