/* Included before libchdr_chd.c: its one sscanf, for a hard disk's geometry, goes to chdr_no_sscanf
   (cmake/libchdr_fixes.c says why). stdio.h first, so that its own sscanf is declared before the name is
   taken. */
#include <stdio.h>

int chdr_no_sscanf(const char *text, const char *format, ...);
#define sscanf chdr_no_sscanf
