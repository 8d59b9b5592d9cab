// Compile-time checking of printf-style formats. The Windows build prints through
// mingw-w64's C99 printf (__USE_MINGW_ANSI_STDIO), whose format GCC calls gnu_printf
// there; its plain "printf" would check msvcrt's, which has no %zu.
#pragma once

#if defined(__MINGW32__)
#define OSMEL_PRINTF_FORMAT(index, first) __attribute__((format(gnu_printf, index, first)))
#else
#define OSMEL_PRINTF_FORMAT(index, first) __attribute__((format(printf, index, first)))
#endif
