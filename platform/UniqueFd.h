#pragma once

// Owns one descriptor (a socket, a poller) and closes it on destruction. Movable,
// not copyable. An object belongs to one thread at a time; Get may be read by any
// thread while the owner keeps it unchanged.
class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd) : m_fd(fd) {}
    ~CUniqueFd() { Reset(); }
    CUniqueFd(CUniqueFd&& other) noexcept : m_fd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept;
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;

    [[nodiscard]] int Get() const { return m_fd; }
    [[nodiscard]] bool IsValid() const { return m_fd >= 0; }
    // Closes the descriptor held, if any, and takes fd.
    void Reset(int fd = -1);
    // Gives the descriptor up without closing it.
    [[nodiscard]] int Release();

private:
    int m_fd = -1;
};
