#pragma once

// Symbols of libKaUtils.so that its users may call. Everything else in the
// library is hidden.
#define KAUTILS_API __attribute__((visibility("default")))

// printf-style checking for variadic formatting functions.
#define KAUTILS_PRINTF(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))
