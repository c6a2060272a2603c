/* Included before libchdr_chd.c: its one sscanf, for a hard disk's geometry, goes to chdr_no_sscanf, and its
   one snprintf, which writes that geometry for a hard disk's CHD older than version 3, to chdr_no_snprintf
   (cmake/libchdr_fixes.c says why). stdio.h first, so that its own functions are declared before the names
   are taken. */
#include <stdio.h>

int chdr_no_sscanf(const char *text, const char *format, ...);
int chdr_no_snprintf(char *out, size_t size, const char *format, ...);
#define sscanf chdr_no_sscanf
#define snprintf chdr_no_snprintf
