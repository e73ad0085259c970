#include "nntp/ArticleFile.h"

ArticleFile::~ArticleFile() {
    Close();
}

bool ArticleFile::Open(std::string name, DWORD shareMode, DWORD creationDisposition) {
    if (name.empty())
        return false;
    // A handle still open here would leak (and, unshared, block the new open): close it.
    Close();
    m_name = std::move(name);
    m_hFile = CreateFileA(m_name.c_str(), GENERIC_WRITE, shareMode, nullptr, creationDisposition,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_hFile != INVALID_HANDLE_VALUE;
}

bool ArticleFile::Write(const void* bytes, DWORD count) {
    DWORD written = 0;
    return WriteFile(m_hFile, bytes, count, &written, nullptr) != FALSE;
}

bool ArticleFile::Close() {
    if (m_hFile == INVALID_HANDLE_VALUE)
        return true;
    if (!CloseHandle(m_hFile))
        return false;
    m_hFile = INVALID_HANDLE_VALUE;
    return true;
}

bool ArticleFile::Delete() {
    if (m_name.empty())
        return true;
    const bool deleted = DeleteFileA(m_name.c_str()) != FALSE;
    m_name.clear();
    return deleted;
}
