#pragma once

// Every wait, window and period of the program, in milliseconds. The defaults are
// the shipped values; tests shorten them through Timing() before they start any
// thread, and the shipped program never changes them.
struct ZelTiming {
    int nReplyWaitMs = 20000;        // a request waits this long for its reply
    int nResendMs = 1000;            // a request safe to repeat is sent again this often while it waits
    int nAcceptWindowMs = 8000;      // a recorder must connect back within this
    int nHeaderWaitMs = 6000;        // the transfer header must arrive within this
    int nReceiveSilenceMs = 8000;    // a file stream may be silent this long
    int nKeepAliveExpiryS = 20;      // a vehicle expires when silent longer than this
    int nTimerPeriodMs = 1000;       // the registry's timer
    int nUdpIdleWaitMs = 8000;       // the UDP receive loop's idle wait
    int nPollMs = 50;                // short polls (notification queue, stop checks)
    int nNoAnswerRetryMs = 1000;     // a task's pause after no answer
    int nRefusedRetryMs = 3000;      // a task's pause after a refusal
    int nIndexRetryMs = 200;         // the record index's open retry
    int nIndexGiveUpMs = 10000;      // the record index's start-up check waits this long for the lock
    int nIndexFlushMs = 10000;       // at stop, the record index's queue must be written within this
    int nIndexWaitLogMs = 60000;     // the record index's writer logs this often while the lock is held
    int nDiskCheckPeriodMs = 1000;   // the disk space monitor's period
    int nRetentionAgeMs = 3600000;   // the retention's age rule runs this often
    int nRetentionSpaceMs = 1000;    // the retention's free-space rule runs this often
    int nPendingReplyWaitMs = 3000;  // a count query waits this long: it only feeds the history
    int nHistoryFlushMs = 200;       // the fleet history's writer batches this long
    int nCatalogueFlushMs = 200;     // the recordings catalogue's writer batches this long
    int nHasherRescanMs = 60000;     // the footage hasher looks for unhashed rows this often
    int nCentralPollMs = 200;        // the outbox is looked at this often for rows to send
    int nCentralTimeoutMs = 10000;   // a statement to the shared database (or connecting) may take this long
    int nCentralRetryMs = 1000;      // the first wait after the shared database failed; doubles after
    int nCentralRetryMaxMs = 30000;  // and grows no longer than this
    int nCentralRequestPollMs = 5000;  // shared requests are looked for this often without a notification
    int nDbBusyWaitMs = 5000;        // a database write waits this long for another connection's
    int nWebKeepAliveMs = 5000;      // an idle dashboard connection is closed after this
    int nWebHeadWaitMs = 5000;       // a request head (and a TLS handshake) must arrive whole within this
    int nWebReadTimeoutMs = 5000;    // a dashboard connection's read may wait this long
    int nWebWriteTimeoutMs = 5000;   // a dashboard answer's write may wait this long
    int nWebSnapshotMs = 250;        // a rendered answer is served again for this long
    int nWebLingerMs = 1000;         // a refused client's further bytes are read and dropped this long
    int nWebAuthPenaltyMs = 500;     // an address's first penalty after repeated wrong tokens; doubles after
    int nWebAuthPenaltyMaxMs = 16000;  // and grows no longer than this
    int nWebAuthLogMs = 60000;       // at most one line about an address's wrong tokens this often
};

// The process-wide timing values. Any thread may read them; only a test's set-up,
// before threads start, writes them.
ZelTiming& Timing();

// Puts the defaults back, writing only the values that differ: a thread that lives
// on from one test to the next (the notification center's) may read the others
// meanwhile. Between tests.
void ResetTiming();
