// Lock annotations that clang's -Wthread-safety checks at compile time:
// GUARDED_BY(mu) on a field says which lock must be held to touch it,
// REQUIRES(mu) on a function that its caller holds the lock, ACQUIRE /
// RELEASE on the functions that take and give back a lock. Other compilers
// see nothing. The annotated lock types are in base/mutex.h.
#ifndef RISK_BASE_THREAD_ANNOTATIONS_H_
#define RISK_BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define RISK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define RISK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) RISK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY RISK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) RISK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) RISK_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) RISK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) RISK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) RISK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) RISK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) RISK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) RISK_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) RISK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) RISK_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) RISK_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) RISK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) RISK_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) RISK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) RISK_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) RISK_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS RISK_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // RISK_BASE_THREAD_ANNOTATIONS_H_
