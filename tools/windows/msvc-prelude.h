/* Force-included by tools/windows/msvc-syntax.sh before every source: makes
 * MinGW-w64's C runtime, winpthreads and libstdc++ headers parse under
 * clang's MSVC target (--target=x86_64-pc-windows-msvc), where __GNUC__ is
 * not defined and _MSC_VER is.  Only the headers are mended here; the code
 * under check sees _MSC_VER and takes its MSVC paths.
 */
#include <_mingw.h>
/* _mingw.h erases __attribute__ when __GNUC__ is not defined; clang's own
 * intrinsics headers need it */
#undef __attribute__
/* MinGW places __declspec(...) after the declarator for MSVC, which clang
 * refuses there */
#undef __MINGW_ATTRIB_NORETURN
#define __MINGW_ATTRIB_NORETURN __attribute__((__noreturn__))
#undef __MINGW_ATTRIB_DEPRECATED
#define __MINGW_ATTRIB_DEPRECATED __attribute__((__deprecated__))
#undef __MINGW_NOTHROW
#define __MINGW_NOTHROW __attribute__((__nothrow__))
#undef __MINGW_ATTRIB_MALLOC
#define __MINGW_ATTRIB_MALLOC __attribute__((__malloc__))
#undef __MINGW_ATTRIB_CONST
#define __MINGW_ATTRIB_CONST __attribute__((__const__))
/* libstdc++'s <atomic> reads GCC's predefined lock-free macros */
#define __GCC_ATOMIC_BOOL_LOCK_FREE 2
#define __GCC_ATOMIC_CHAR_LOCK_FREE 2
#define __GCC_ATOMIC_CHAR8_T_LOCK_FREE 2
#define __GCC_ATOMIC_CHAR16_T_LOCK_FREE 2
#define __GCC_ATOMIC_CHAR32_T_LOCK_FREE 2
#define __GCC_ATOMIC_WCHAR_T_LOCK_FREE 2
#define __GCC_ATOMIC_SHORT_LOCK_FREE 2
#define __GCC_ATOMIC_INT_LOCK_FREE 2
#define __GCC_ATOMIC_LONG_LOCK_FREE 2
#define __GCC_ATOMIC_LLONG_LOCK_FREE 2
#define __GCC_ATOMIC_POINTER_LOCK_FREE 2
#define __GCC_ATOMIC_TEST_AND_SET_TRUEVAL 1
/* CPython's Windows pyconfig.h declares pid_t as int for MSVC, winpthreads
 * as __int64: winpthreads gets a name of its own */
#define _PID_T_
#define pid_t quellmar_mingw_pid_t
#include <pthread_compat.h>
#include <pthread.h>
#undef pid_t
/* clang's <intrin.h> (included by Python.h from 3.13 on) declares _setjmp
 * otherwise than MinGW's <setjmp.h> */
#define _setjmp quellmar_mingw_setjmp
#include <setjmp.h>
#undef _setjmp
