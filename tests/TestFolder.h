#ifndef QV_TESTS_TESTFOLDER_H
#define QV_TESTS_TESTFOLDER_H

#include <string>
#include <vector>

// A fresh folder under %TEMP% for one test; removed with its contents
// unless the test failed.
class TestFolder {
public:
    TestFolder();
    ~TestFolder();
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool ReadBytes(const std::wstring& path, std::string* bytes);
bool Exists(const std::wstring& path);
void RemoveTree(const std::wstring& path);

#endif
