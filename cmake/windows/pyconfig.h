/* pyconfig.h of the official CPython for Windows x64 (3.9 to 3.13), as far as an extension module
   sees it: what the interpreter's headers test to lay out its objects, declare its API and pick
   its threads. CPython's headers from any platform, with this file in place of theirs, describe
   that interpreter's ABI to a compiler targeting the UCRT (clang, GCC or MSVC). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* The modules link against python3X.dll: its API is imported, PyInit_ is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 4 bytes, pointers and sizes are 8. Py_ssize_t is then intptr_t, as
   pyport.h derives it when neither HAVE_PY_SSIZE_T nor HAVE_SSIZE_T is set. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_LONG_LONG 1

/* wchar_t is UTF-16. */
#define HAVE_WCHAR_H 1
#define Py_WIN_WIDE_FILENAMES

#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_FCNTL_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1
#define HAVE_IO_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRFTIME 1
#define HAVE_DYNAMIC_LOADING
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define HAVE_LARGEFILE_SUPPORT
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1
#define WORD_BIT 32
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#endif /* Py_CONFIG_H */
