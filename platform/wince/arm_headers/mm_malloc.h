// For mingw-w64's malloc.h, which takes _mm_malloc from the compiler's x86 headers: unused here.
#pragma once
