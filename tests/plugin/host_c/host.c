/* A host in plain C11, compiled at test time against the installed headers
 * alone (their layout checks are C11 static assertions too): it loads the
 * installed plug-in by path and walks each discovery table to its zero row
 * through the header's structs. The rows themselves are the discovery
 * tests' business.
 *
 * Usage: host <path of kx_Traxel.so>; exit status 0 when all three tables
 * have their rows. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <kx_traxel/kx_traxel.h>

int main(int argc, char** argv) {
  void* plugin = argc == 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
  GetEncodersFn getEncoders;
  GetFileFormatsFn getFileFormats;
  GetFileMultiStreamFormatsFn getMultiStream;
  void* symbols[3];
  int encoders = 0, formats = 0, multi = 0;
  if (plugin == NULL) {
    printf("cannot load the plug-in: %s\n", dlerror());
    return 1;
  }
  symbols[0] = dlsym(plugin, "GetEncoders");
  symbols[1] = dlsym(plugin, "GetFileFormats");
  symbols[2] = dlsym(plugin, "GetFileMultiStreamFormats");
  if (symbols[0] == NULL || symbols[1] == NULL || symbols[2] == NULL) return 1;
  memcpy(&getEncoders, &symbols[0], sizeof getEncoders);
  memcpy(&getFileFormats, &symbols[1], sizeof getFileFormats);
  memcpy(&getMultiStream, &symbols[2], sizeof getMultiStream);
  while (getEncoders()[encoders].fourcc != 0) ++encoders;
  while (getFileFormats()[formats].fourcc != 0) ++formats;
  while (getMultiStream()[multi].fourcc != 0) ++multi;
  printf("%d encoders, %d file formats, %d multi-stream formats\n", encoders, formats, multi);
  dlclose(plugin);
  return encoders == 9 && formats == 3 && multi == 3 ? 0 : 1;
}
