#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Misbehaviour a simulated recorder can be told to show. Counts limit a fault to the
// first transfers or requests of each recording (0: every one), so that a test can
// break a transfer once and watch the server resume it.
struct SimFaults {
    std::uint64_t nCutAfterBytes = 0;   // file bytes per transfer before the connection is cut; 0 off
    std::uint32_t nCutCount = 0;        // transfers of each recording that are cut
    bool bHeaderOnly = false;           // cut transfers end right after the header (nCutCount applies)
    bool bNoCount = false;              // file count queries (command 2) are never answered
    std::uint16_t nRefuseStatus = 0;    // file requests answered with this status; 0 off
    std::uint32_t nRefuseCount = 0;     // requests of each recording that are refused
    bool bSilent = false;               // register and keep alive, never answer a request
    bool bWithholdReply = false;        // an accepted file request is served but never answered
    std::uint32_t nWithholdReplyCount = 0;  // requests of each recording whose reply is withheld
    bool bDoubleConnect = false;        // a stray first connection sends half, then a second one all
    std::uint32_t nDoubleConnectCount = 0;  // requests of each recording that connect twice
    int nConnectDelayMs = 0;            // pause between accepting a request and connecting
    std::uint32_t nConnectDelayCount = 0;   // requests of each recording that wait
    int nHeaderPieces = 1;              // TCP writes the 80-byte header is split into
    int nPiecePauseMs = 20;             // pause between those writes
    std::int64_t nSizeDelta = 0;        // announced size = real size + this
    std::uint32_t nExtraBytes = 0;      // bytes sent after the last byte of the file
    bool bForeignDevice = false;        // transfer header names a device that never registered
    bool bForeignFile = false;          // transfer header names another recording of the channel
    bool bWrongChannel = false;         // transfer header names the next channel up
    std::uint32_t nForeignHeaderCount = 0;  // requests of each recording with those header faults
    int nLingerMs = 0;                  // connection kept open after the last byte
    int nRateKBps = 0;                  // each transfer sends at most this many kB/s (a slow link); 0 no limit
    bool bUnsafeVehicle = false;        // registered name "../<name>"
    bool bUnsafeFile = false;           // recorder file names holding "/"
    bool bUnsafeDevice = false;         // szDevice "../<name>" while the registered name is safe
    int nKeepAliveStopS = -1;           // no keepalive this many seconds after the start; -1 never stops
    bool bShortKeepAlive = false;       // keepalives end right after the name's NUL
    std::uint32_t nShortDatagramEvery = 0;  // every N-th keepalive ends inside the name; 0 off
};

// Everything a simulator run is made of. The defaults give a small, well-behaved
// fleet that a server with its default settings downloads completely.
struct SimOptions {
    std::string strServerIp = "127.0.0.1";
    std::uint16_t nServerPort = 5990;
    std::string strLocalIp;             // address the recorders' UDP sockets bind to; "" any
    bool bCheckAddress = false;         // refuse (400) file requests naming another listen address than strServerIp
    int nVehicles = 1;
    std::string strNamePrefix = "SIM";  // vehicle i is prefix + "%03d" of i + 1
    std::vector<std::string> vecNames;  // explicit names (1 to 32 bytes); override prefix and count
    int nChannels = 4;
    int nRecordings = 4;                // per channel
    std::uint32_t nRecSeconds = 600;    // length in time of each recording
    std::uint32_t nRecGapSeconds = 0;   // pause between two recordings of a channel
    std::uint32_t nRecBytes = 1u << 20; // size of each recording
    std::string strRecFile;             // every recording holds this file's bytes (a real clip); "" generated content
    std::uint32_t tStart = 0;           // wall-clock start of the first recording; 0 six hours ago
    std::vector<std::uint8_t> vecRecordTypes {0};  // wire types cycled over recordings: 0 timing, 2 alarm
    int nKeepAliveMs = 5000;
    int nDurationS = 0;                 // run time of the program; 0 until a signal
    int nVerbosity = 1;                 // 0 summary only, 1 events, 2 also registrations and keepalives sent
    double dLossPercent = 0;            // datagrams lost each way, 0 to 100
    std::uint64_t nLossSeed = 1;        // the losses of a seed are the same on every run
    SimFaults faults;
};

// Parses command-line arguments (without the program name) into *pOptions, starting
// from its current values. Returns 0 when the options are good, 1 when help was asked
// for (*pMessage holds the usage text), -1 on a bad option or value (*pMessage says
// which). Any thread.
int ParseSimOptions(const std::vector<std::string>& vecArgs, SimOptions* pOptions, std::string* pMessage);

// Checks values that no single option can judge (names over 32 bytes, empty type list).
// "" when the options are usable, else the reason. Any thread.
std::string CheckSimOptions(const SimOptions& options);

// The vehicle names of a run, in order. Any thread.
std::vector<std::string> SimVehicleNames(const SimOptions& options);

// The --help text. Any thread.
std::string SimUsage();
