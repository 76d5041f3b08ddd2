/* A host written in C: decodes the file it is given and prints its size. */
#include <qarvel/qarvel.h>
#include <stdio.h>

int main(int argc, char** argv) {
  unsigned char* pixels = NULL;
  int width = 0, height = 0, pitch = 0;
  if (argc != 2 || qimread(argv[1], &pixels, &width, &height, &pitch, 1) != 0) return 1;
  printf("%dx%d %s\n", width, height, colorfmtName[1]);
  qFree(pixels);
  return width > 0 && height > 0 ? 0 : 1;
}
