// Another process appending to a record index through an index of its own, as another
// instance of the program would (a forked child of a test must not start threads):
//   RecordIndexWriter DIR PUID COUNT [LIMIT]
// queues COUNT records (puid PUID "n" i, channel i % 8 + 1) in DIR's index, all before
// its writer may take the lock (it holds a shared lock of its own meanwhile), then
// flushes. LIMIT caps the size of every file it writes: a disk that fills up. It logs
// to ./log.txt. Exit status 0 when every record was handled (written, or dropped with
// a log line), 1 when not, 2 on wrong arguments.
#include "control/TransferHeader.h"
#include "settings/RecordIndex.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 5)
        return 2;
    const std::string prefix = argv[2];
    const int nCount = std::atoi(argv[3]);
    if (argc == 5) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlim_t nLimit = std::strtoull(argv[4], nullptr, 10);
        const rlimit limit {nLimit, nLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
    }
    CRecordIndex index(argv[1]);
    const int fd = ::open(index.Path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_SH) != 0)
        return 2;
    for (int i = 0; i < nCount; ++i) {
        TransferHeader hdr {};
        const std::string puid = prefix + "n" + std::to_string(i);
        std::memcpy(hdr.szDevice, puid.data(), std::min(puid.size(), sizeof(hdr.szDevice)));
        hdr.nChan = static_cast<std::uint8_t>(i % 8 + 1);
        if (!index.AddRecord(hdr))
            return 1;
    }
    ::close(fd);
    return index.Flush(60000) ? 0 : 1;
}
