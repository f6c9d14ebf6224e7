// Kernels compiled for several instruction sets.
//
// `QEL_TARGET_CLONES("avx2", "default")` before a kernel builds one copy per
// instruction set, and the loader picks one through an ifunc when the library
// loads. A sanitizer's runtime starts only after the ifuncs have run (a
// ThreadSanitizer build crashes in the resolver), so under any sanitizer, or
// when QEL_PORTABLE_KERNELS is defined, each kernel is built once, for the
// baseline. The copies perform the same IEEE operations in the same order:
// the results keep their bits either way.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_HWADDRESS__)
#define QEL_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer) || \
    __has_feature(hwaddress_sanitizer) || __has_feature(dataflow_sanitizer)
#define QEL_SANITIZED_BUILD 1
#endif
#endif

#if defined(QEL_SANITIZED_BUILD) || defined(QEL_PORTABLE_KERNELS)
#define QEL_TARGET_CLONES(...)
#else
#define QEL_TARGET_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#endif
