// QEL_TEST_SANITIZED is defined in a build under AddressSanitizer,
// ThreadSanitizer or MemorySanitizer: tests that read released memory on
// purpose, or limit the address space, skip themselves there.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QEL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define QEL_TEST_SANITIZED 1
#endif
#endif
