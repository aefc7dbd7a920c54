#pragma once

// Clang's thread-safety analysis (-Wthread-safety) checks, at compile time,
// that what a lock guards is touched only while it is held. Other compilers
// ignore the annotations.
#if defined(__clang__)
#define QUILLTAP_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLTAP_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUILLTAP_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUILLTAP_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUILLTAP_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) QUILLTAP_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QUILLTAP_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QUILLTAP_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUILLTAP_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
