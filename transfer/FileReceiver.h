#pragma once

#include "control/TransferHeader.h"

#include <cstddef>
#include <string>

class CTCPSrv;
class CRecordIndex;

// The receive buffer of one connection: the file goes to disk chunk by chunk. 256 KiB
// rather than 6 KiB: with small chunks the receiver spends its time in system calls,
// and memory per connection stays bounded all the same.
constexpr std::size_t kReceiveChunkSize = 256 * 1024;

// Receives the one file of the connection pSrv has just accepted: reads the transfer
// header, appends the bytes to the recording's partial file under downRoot, renames it
// to its finished name when its size matches, and in component mode adds it to the
// record index (pIndex null, or bComponentMode false, adds no record). Closes the
// accepted socket when it ends. Always 0. Runs inside pSrv's WaitForConnection, on
// the channel task's thread.
int ReceiveFileStream(CTCPSrv* pSrv, const std::string& downRoot, bool bComponentMode, CRecordIndex* pIndex);

// The vehicle a header names, as registration keeps its name: at most 31 bytes (a
// 32-byte field with its NUL), so a name that fills the header's field without a NUL
// is cut to the name the vehicle registered with. Any thread.
std::string HeaderVehicleName(const TransferHeader& hdr);

// Why a header's names must not be used in the store, or "" when they may:
// the vehicle name (HeaderVehicleName) and the recorder's file name become path
// components. Any thread.
std::string CheckHeaderNames(const TransferHeader& hdr);

// Whether the recorder's file name carries the header's channel tag ("ch%02d_").
// Any thread.
bool HasChannelTag(const TransferHeader& hdr);
