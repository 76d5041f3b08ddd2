/* The public header compiles as C, and every plain-named export links. */
#include <qarvel/qarvel.h>
#include <stdio.h>

int main(void) {
  int w = 0, h = 0, p = 0;
  unsigned char* buf = NULL;
  int failures = 0;
  failures += qdecode(NULL, 1, &buf, &w, &h, &p, 1) != -1;
  failures += qencode(NULL, 1, 1, 3, 1, &buf, NULL) != -1;
  failures += qimread(NULL, &buf, &w, &h, &p, 1) != -1;
  failures += qimread2(NULL, buf, &w, &h, &p, 1) != -1;
  failures += qimwrite(NULL, NULL, 1, 1, 3, 1) != -1;
  failures += qresize(NULL, 1, 1, NULL) != -1;
  failures += qFree(NULL) != 0;
  unsigned char* big = pre_alloc_imread();
  failures += big == NULL;
  qFree(big);
  failures += subsampName[5][0] != '4' || colorspaceName[4][0] != 'Y' || colorfmtName[1][0] != 'B';
  return failures;
}
