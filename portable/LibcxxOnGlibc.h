// Included first in every file of the library and the programs in the portable build (`make
// portable`). LLVM's libc++ is written for glibc as compilers set it up for C++, with
// _GNU_SOURCE defined; the portable build takes that away so that the project's code sees
// POSIX.1-2008 alone, and libc++'s headers then miss the few glibc extensions they call.
// They are declared here for libc++'s use only. No header that reads the feature macros is
// included: glibc must read those of the file itself (a file that asks for BSD's interfaces
// defines _DEFAULT_SOURCE before its first include).
#ifndef PORTABLE_LIBCXX_ON_GLIBC_H
#define PORTABLE_LIBCXX_ON_GLIBC_H

// A file that asks for Linux's interfaces gets _GNU_SOURCE on the command line
// (qipfinder_linux_sources), and glibc then declares these itself.
#if defined(__linux__) && defined(__cplusplus) && !defined(_GNU_SOURCE)
struct __locale_struct;  // glibc's locale_t points at it
struct timespec;
extern "C" {
int isascii(int c) noexcept;
int vasprintf(char** strp, const char* format, __builtin_va_list ap) noexcept;
long long strtoll_l(const char* nptr, char** endptr, int base, __locale_struct* locale) noexcept;
unsigned long long strtoull_l(const char* nptr, char** endptr, int base,
                              __locale_struct* locale) noexcept;
float strtof_l(const char* nptr, char** endptr, __locale_struct* locale) noexcept;
double strtod_l(const char* nptr, char** endptr, __locale_struct* locale) noexcept;
long double strtold_l(const char* nptr, char** endptr, __locale_struct* locale) noexcept;
// glibc's pthread_cond_t and pthread_mutex_t have no names of their own: the pointers convert.
int pthread_cond_clockwait(void* cond, void* mutex, int clock, const timespec* abstime) noexcept;
}
#endif

#endif
