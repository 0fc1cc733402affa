#pragma once

#include <filesystem>
#include <string>

// A PostgreSQL server of Debian's postgresql package, made for a test in a temporary
// directory (initdb) and run with pg_ctl on a free loopback port, trusting local
// connections of the user "zel". When the tests run as root it runs as the postgres
// user, as the server refuses root. Stopped and removed when the object goes.
// Test thread.
class CPgCluster {
public:
    CPgCluster();
    ~CPgCluster();
    CPgCluster(const CPgCluster&) = delete;
    CPgCluster& operator=(const CPgCluster&) = delete;

    // Makes the cluster (once) and starts the server; false with Why() when it cannot.
    bool Start();
    // Stops the server at once (fast shutdown); its files stay for the next Start.
    bool Stop();
    const std::string& Why() const { return m_strWhy; }
    int Port() const { return m_nPort; }

    // The connection string of database name (the server's own "postgres" when empty).
    std::string ConnInfo(const std::string& name = {}) const;
    // Creates an empty database; false with Why().
    bool CreateDatabase(const std::string& name);
    // Runs sql through psql against database name; its output (unaligned, tuples
    // only), or nothing with Why() on failure.
    std::string Query(const std::string& name, const std::string& sql);

    // The one cluster of this test process, started at its first use. Test thread.
    static CPgCluster& Shared();

private:
    // Runs command (as the server's user when the tests run as root); its exit code.
    int x_Run(const std::string& command, std::string* pOutput = nullptr);

    std::filesystem::path m_dir;
    int m_nPort = 0;
    bool m_bMade = false;
    bool m_bRunning = false;
    std::string m_strWhy;
};
