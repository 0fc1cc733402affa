#pragma once

#include "control/ControlMessage.h"
#include "platform/Socket.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A recorder played by a test: one UDP socket on loopback that sends what the test
// says and reads what the server sends back.
class ScriptedPeer {
public:
    // Bound to szLocalIp, sending to the server at 127.0.0.1 until told otherwise.
    explicit ScriptedPeer(const char* szLocalIp = "127.0.0.1");

    std::uint16_t Port() const { return m_socket.LocalPort(); }
    void SetServerPort(std::uint16_t nPort) { m_nServerPort = nPort; }
    void SetServerIp(const std::string& ip) { m_serverIp = ip; }

    // A registration datagram (125 bytes unless nLen says otherwise).
    static std::vector<unsigned char> Registration(const std::string& name, std::uint8_t nChannels,
                                                   std::uint32_t nId, std::size_t nLen = kRegisterMinSize);
    // A keepalive datagram (60 bytes unless nLen says otherwise).
    static std::vector<unsigned char> KeepAlive(const std::string& name, std::uint32_t nId,
                                                std::size_t nLen = kKeepAliveMinSize);
    // A reply to a server request: header with isReply 1, status and id, then payload.
    static std::vector<unsigned char> Reply(std::uint8_t nCommand, std::uint16_t nStatus, std::uint32_t nId,
                                            const std::vector<unsigned char>& payload = {});
    // Reply payloads: the earliest-file record (a name beyond its field is cut) and the
    // file-count record.
    static std::vector<unsigned char> EarliestRecord(const std::string& fileName, std::uint32_t tStart,
                                                     std::uint32_t tEnd, std::uint8_t nChannel = 1);
    static std::vector<unsigned char> CountRecord(std::uint32_t nCount);

    void Send(const std::vector<unsigned char>& datagram);
    // The next datagram within nTimeoutMs, or nothing.
    std::optional<std::vector<unsigned char>> Receive(int nTimeoutMs = 3000);
    // The next reply (isReply set), passing over the server's own requests, which a
    // download pass may send before the reply to the keepalive that started it.
    std::optional<std::vector<unsigned char>> ReceiveReply(int nTimeoutMs = 3000);

private:
    CSocket m_socket;
    std::string m_serverIp = "127.0.0.1";
    std::uint16_t m_nServerPort = 0;
};
