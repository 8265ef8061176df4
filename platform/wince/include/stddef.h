/* Empty: the compiler's own stddef.h ends by including the next stddef.h on the path,
   which the handheld's C library does not have and does not need. */
