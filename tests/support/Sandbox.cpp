#include "Sandbox.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

void Sandbox::SetUp()
{
    m_oldCwd = std::filesystem::current_path();
    std::string tmpl = (std::filesystem::temp_directory_path() / "zeltest-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
    std::filesystem::current_path(m_dir);
}

void Sandbox::TearDown()
{
    std::filesystem::current_path(m_oldCwd);
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::string Sandbox::ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Sandbox::WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}
