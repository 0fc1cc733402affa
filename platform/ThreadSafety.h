#pragma once

// Annotations for Clang's thread-safety analysis (-Wthread-safety): which lock guards
// a field, which locks a function needs, takes or gives back. The compiler then
// rejects a guarded field touched without its lock, a "caller holds X" helper called
// without X, and a lock left held on some path. Other compilers see nothing.
//
//   CMutex m_lock;
//   int m_nCount GUARDED_BY(m_lock);
//   void BumpLocked() REQUIRES(m_lock);
//   void Bump() EXCLUDES(m_lock);

#if defined(__clang__)
#define ZEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEL_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks ("mutex"), and a scoped holder of one.
#define CAPABILITY(x) ZEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZEL_THREAD_ANNOTATION(scoped_lockable)

// The field, or what the pointer field points to, is read and written only under x.
#define GUARDED_BY(x) ZEL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZEL_THREAD_ANNOTATION(pt_guarded_by(x))

// Lock order between two locks (checked with -Wthread-safety-beta).
#define ACQUIRED_BEFORE(...) ZEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZEL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller must hold the locks (exclusively or shared).
#define REQUIRES(...) ZEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) ZEL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))

// The function returns holding the locks it did not hold on entry, or the reverse.
#define ACQUIRE(...) ZEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) ZEL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) ZEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) ZEL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) ZEL_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))

// Takes the locks when it returns the given value (true or false).
#define TRY_ACQUIRE(...) ZEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) ZEL_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))

// The caller must not hold the locks: the function takes them itself.
#define EXCLUDES(...) ZEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// Checks at run time that the lock is held; the analysis takes it as held afterwards.
#define ASSERT_CAPABILITY(x) ZEL_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) ZEL_THREAD_ANNOTATION(assert_shared_capability(x))

// The function returns a reference to the lock x.
#define RETURN_CAPABILITY(x) ZEL_THREAD_ANNOTATION(lock_returned(x))

// The function's body is not checked: for the few places whose locking the analysis
// cannot follow; each says why.
#define NO_THREAD_SAFETY_ANALYSIS ZEL_THREAD_ANNOTATION(no_thread_safety_analysis)
