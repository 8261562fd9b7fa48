/* A host in plain C11, compiled at test time against the installed headers
 * alone (their layout checks are C11 static assertions too): it loads the
 * installed plug-in by path and walks the GetFileFormats table through the
 * header's structs. The rows themselves are the discovery tests' business.
 * Usage: host <path of kx_Traxel.so>; exit status 0 when the table has rows. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <kx_traxel/kx_traxel.h>

int main(int argc, char** argv) {
  void* plugin = argc == 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
  void* symbol = plugin != NULL ? dlsym(plugin, "GetEncoders") : NULL;
  GetEncodersFn getEncoders;
  int rows = 0;
  if (symbol == NULL) return printf("cannot load the plug-in: %s\n", dlerror()), 1;
  memcpy(&getEncoders, &symbol, sizeof getEncoders);
  while (getEncoders()[rows].fourcc != 0) ++rows;
  printf("%d encoders\n", rows);
  dlclose(plugin);
  return rows > 0 ? 0 : 1;
}
