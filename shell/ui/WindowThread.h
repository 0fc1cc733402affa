#pragma once

// The window thread: the one that made the application object, the only thread on
// which a window may be touched. A window used from another thread corrupts the
// toolkit's state without a word, so the windows' entry points check, in every
// build, and stop the program with the caller's name instead.
class CWindowThread {
public:
    // Whether the calling thread is the window thread; true too while no
    // application object exists (no window can either). Any thread.
    static bool IsCurrent();

    // Stops the program with a message naming szWhere (Q_FUNC_INFO) when the calling
    // thread is not the window thread. Any thread.
    static void Check(const char* szWhere);
};
