/* Empty: the compiler's own stdarg.h ends by including the next stdarg.h on the path,
   which the handheld's C library does not have and does not need. */
