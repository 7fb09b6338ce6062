// The compiler's check of printf-style formats, for the application's own printf-like functions.
#pragma once

// With mingw-w64 the C++ library formats through mingw's own C99 printf (%zu, %lld), not the system's
// older one, whose rules the plain "printf" check would apply.
#if defined(__MINGW32__)
#define PLATFORM_PRINTF(a, b) __attribute__((format(gnu_printf, a, b)))
#else
#define PLATFORM_PRINTF(a, b) __attribute__((format(printf, a, b)))
#endif
