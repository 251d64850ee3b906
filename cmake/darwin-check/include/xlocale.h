// The locale-taking C library functions that libc++ calls on Apple systems and the host's C library lacks,
// for the darwin check's libc++ pass. Follows Apple's manual page xlocale(3) and the pages it names:
// ___mb_cur_max_l (MB_CUR_MAX_L), btowc_l, wctob_l, mbrtowc_l, mbtowc_l, mbrlen_l, mbsrtowcs_l,
// mbsnrtowcs_l, wcrtomb_l, wcsnrtombs_l, localeconv_l, snprintf_l, asprintf_l, sscanf_l, strtod_l,
// strtof_l, strtold_l, strtoll_l, strtoull_l; LC_C_LOCALE, LC_GLOBAL_LOCALE.
#pragma once

#include <locale.h>
#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LC_GLOBAL_LOCALE ((locale_t)-1)
#define LC_C_LOCALE ((locale_t)0)

int ___mb_cur_max_l(locale_t);
#define MB_CUR_MAX_L(x) ((size_t)___mb_cur_max_l(x))
wint_t btowc_l(int, locale_t);
int wctob_l(wint_t, locale_t);
size_t mbrtowc_l(wchar_t*, const char*, size_t, mbstate_t*, locale_t);
int mbtowc_l(wchar_t*, const char*, size_t, locale_t);
size_t mbrlen_l(const char*, size_t, mbstate_t*, locale_t);
size_t mbsrtowcs_l(wchar_t*, const char**, size_t, mbstate_t*, locale_t);
size_t mbsnrtowcs_l(wchar_t*, const char**, size_t, size_t, mbstate_t*, locale_t);
size_t wcrtomb_l(char*, wchar_t, mbstate_t*, locale_t);
size_t wcsnrtombs_l(char*, const wchar_t**, size_t, size_t, mbstate_t*, locale_t);
struct lconv* localeconv_l(locale_t);
int snprintf_l(char*, size_t, locale_t, const char*, ...);
int asprintf_l(char**, locale_t, const char*, ...);
int sscanf_l(const char*, locale_t, const char*, ...);
double strtod_l(const char*, char**, locale_t);
float strtof_l(const char*, char**, locale_t);
long double strtold_l(const char*, char**, locale_t);
long long strtoll_l(const char*, char**, int, locale_t);
unsigned long long strtoull_l(const char*, char**, int, locale_t);

#ifdef __cplusplus
}
#endif
