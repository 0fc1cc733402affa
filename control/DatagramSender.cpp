#include "control/DatagramSender.h"

#include "control/UDPSrv.h"

namespace {

class CUdpSender final : public CDatagramSender {
public:
    int SendMsg(const char* szIp, std::uint16_t nPort, const void* pData, int nLen) override
    {
        return UDPSendMsg(szIp, nPort, pData, nLen);
    }
};

} // namespace

CDatagramSender& CDatagramSender::Udp()
{
    static CUdpSender s_sender;
    return s_sender;
}
